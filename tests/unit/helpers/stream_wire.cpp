#include "stream_wire.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace stream_test {

rtp_packet parse_rtp(const bytes& p) {
  if (p.size() < 12) return {};
  const uint32_t timestamp = static_cast<uint32_t>(p[4]) << 24 | static_cast<uint32_t>(p[5]) << 16 |
                             static_cast<uint32_t>(p[6]) << 8 | p[7];
  return {(p[1] & 0x80) != 0, static_cast<uint16_t>(p[2] << 8 | p[3]), timestamp, bytes(p.begin() + 12, p.end())};
}

udp_sink::udp_sink(bool ipv6) {
  fd_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a6{};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_loopback;
  sockaddr_in a4{};
  a4.sin_family = AF_INET;
  a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto* a = ipv6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
  socklen_t len = ipv6 ? sizeof a6 : sizeof a4;
  if (bind(fd_, a, len) != 0) return; // no IPv6 loopback here: port stays 0
  const int big = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  getsockname(fd_, a, &len);
  port_ = ntohs(ipv6 ? a6.sin6_port : a4.sin_port);
}

udp_sink::~udp_sink() { close(fd_); }

std::vector<bytes> udp_sink::receive(size_t count, int wait_ms) {
  std::vector<bytes> got;
  bytes buf(65536);
  for (pollfd p{fd_, POLLIN, 0}; got.size() < count && poll(&p, 1, wait_ms) > 0;) {
    const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) break;
    got.emplace_back(buf.begin(), buf.begin() + n);
  }
  return got;
}

uint16_t free_udp_port() { return udp_sink().port(); }

namespace {

void aim(rtp_thread& thread, sockaddr* dest, socklen_t length, const char* host) {
  thread.ns.sock = socket(dest->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::strcpy(thread.ns.host, host);
  thread.ns.protocol = kProtocolUdp;
  thread.ns.addr.ai_family = dest->sa_family;
  thread.ns.addr.ai_addr = dest;
  thread.ns.addr.ai_addrlen = length;
}

} // namespace

void aim_at(rtp_thread& thread, sockaddr_in& dest, const udp_sink& sink, int mtu) {
  dest = sockaddr_in{};
  dest.sin_family = AF_INET;
  dest.sin_port = htons(sink.port());
  dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  aim(thread, reinterpret_cast<sockaddr*>(&dest), sizeof dest, "127.0.0.1");
  thread.ns.mtu = mtu;
}

void aim_at(rtp_thread& thread, sockaddr_in6& dest, const udp_sink& sink, int mtu) {
  dest = sockaddr_in6{};
  dest.sin6_family = AF_INET6;
  dest.sin6_port = htons(sink.port());
  dest.sin6_addr = in6addr_loopback;
  aim(thread, reinterpret_cast<sockaddr*>(&dest), sizeof dest, "::1");
  thread.ns.mtu = mtu;
}

bytes read_stream(int fd, size_t limit, int wait_ms) {
  bytes got;
  uint8_t buf[4096];
  for (pollfd p{fd, POLLIN, 0}; got.size() < limit && poll(&p, 1, wait_ms) > 0;) {
    const ssize_t n = read(fd, buf, std::min(sizeof buf, limit - got.size()));
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

} // namespace stream_test
