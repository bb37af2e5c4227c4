#include "stream_wire.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "stream/send_rtp.h"

namespace stream_test {

rtp_packet parse_rtp(const bytes& p) {
  rtp_packet r;
  if (p.size() < 12) return r;
  r.version = p[0] >> 6;
  r.padding = (p[0] >> 5) & 1;
  r.extension = (p[0] >> 4) & 1;
  r.csrc_count = p[0] & 0x0F;
  r.marker = (p[1] & 0x80) != 0;
  r.payload_type = p[1] & 0x7F;
  r.seq = static_cast<uint16_t>(p[2] << 8 | p[3]);
  r.timestamp = static_cast<uint32_t>(p[4]) << 24 | static_cast<uint32_t>(p[5]) << 16 |
                static_cast<uint32_t>(p[6]) << 8 | p[7];
  r.ssrc = static_cast<uint32_t>(p[8]) << 24 | static_cast<uint32_t>(p[9]) << 16 |
           static_cast<uint32_t>(p[10]) << 8 | p[11];
  r.payload.assign(p.begin() + 12, p.end());
  return r;
}

interleaved_stream split_interleaved(const bytes& s) {
  interleaved_stream out;
  size_t at = 0;
  while (at < s.size()) {
    if (s[at] != '$' || at + 4 > s.size()) {
      out.whole = false;
      break;
    }
    const size_t len = static_cast<size_t>(s[at + 2]) << 8 | s[at + 3];
    if (at + 4 + len > s.size()) {
      out.whole = false;
      break;
    }
    out.frames.push_back({s[at + 1], bytes(s.begin() + static_cast<long>(at + 4),
                                           s.begin() + static_cast<long>(at + 4 + len))});
    at += 4 + len;
  }
  return out;
}

udp_sink::udp_sink() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int big = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  socklen_t len = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

udp_sink::~udp_sink() {
  if (fd_ >= 0) close(fd_);
}

std::vector<bytes> udp_sink::receive(size_t count, int wait_ms) {
  std::vector<bytes> got;
  bytes buf(65536);
  while (got.size() < count) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) break;
    const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) break;
    got.emplace_back(buf.begin(), buf.begin() + n);
  }
  return got;
}

uint16_t free_udp_port() {
  udp_sink probe;
  return probe.port();
}

void aim_at(rtp_thread& thread, sockaddr_in& dest, const udp_sink& sink, int mtu) {
  dest = sockaddr_in{};
  dest.sin_family = AF_INET;
  dest.sin_port = htons(sink.port());
  dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  thread.ns.sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::strcpy(thread.ns.host, "127.0.0.1");
  thread.ns.protocol = kProtocolUdp;
  thread.ns.mtu = mtu;
  thread.ns.addr.ai_family = AF_INET;
  thread.ns.addr.ai_addr = reinterpret_cast<sockaddr*>(&dest);
  thread.ns.addr.ai_addrlen = sizeof dest;
}

bytes read_stream(int fd, size_t limit, int wait_ms) {
  bytes got;
  uint8_t buf[4096];
  while (got.size() < limit) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) break;
    const ssize_t n = read(fd, buf, std::min(sizeof buf, limit - got.size()));
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

std::vector<int> send_unit(rtp_thread& thread, const bytes& unit) {
  std::vector<int> results;
  int offset = 0;
  int remaining = static_cast<int>(unit.size());
  // Bounded: a unit never needs more packets than bytes.
  for (size_t i = 0; remaining > 0 && i <= unit.size(); ++i) {
    const int r = send_rtp(&thread, unit.data(), &offset, &remaining);
    results.push_back(r);
    if (r <= 0) break;
    ++thread.rtp_seq;
  }
  return results;
}

} // namespace stream_test
