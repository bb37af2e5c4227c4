// CPU cost per packet of the stream thread's send path against a bare loop
// of sendto calls of the same sizes to the same kind of sink: a loopback UDP
// socket drained by its own thread. Prints figures; asserts nothing.
//
//   packet_path [units]   (default 20000 units of 3000 bytes = 60000 packets)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "stream/rtp_thread.h"
#include "stream/send_rtp.h"

namespace {

constexpr int kUnitSize = 3000;
constexpr int kRounds = 3;

double cpu_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class drained_sink {
 public:
  drained_sink() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int big = 8 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    addr_ = a;
    drain_ = std::thread([this] {
      static char buf[65536];
      while (!stop_.load()) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) == 1) {
          while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) received_.fetch_add(1, std::memory_order_relaxed);
        }
      }
    });
  }
  ~drained_sink() {
    stop_.store(true);
    drain_.join();
    close(fd_);
  }
  const sockaddr_in& addr() const { return addr_; }
  long received() const { return received_.load(); }

 private:
  int fd_ = -1;
  sockaddr_in addr_{};
  std::atomic<bool> stop_{false};
  std::atomic<long> received_{0};
  std::thread drain_;
};

struct figures {
  double cpu = 0;
  long packets = 0;
  double per_packet_ns() const { return packets > 0 ? cpu * 1e9 / static_cast<double>(packets) : 0; }
};

// The send path as the stream thread runs it: send_rtp until the unit is out.
figures run_send_rtp(const drained_sink& sink, int payload, int units) {
  auto t = std::make_unique<rtp_thread>();
  sockaddr_in dest = sink.addr();
  t->payload = payload;
  t->rtp_version = 2;
  t->rtp_payload_type = static_cast<uint8_t>(payload);
  t->ns.sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::strcpy(t->ns.host, "127.0.0.1");
  t->ns.protocol = kProtocolUdp;
  t->ns.mtu = 1500;
  t->ns.addr.ai_family = AF_INET;
  t->ns.addr.ai_addr = reinterpret_cast<sockaddr*>(&dest);
  t->ns.addr.ai_addrlen = sizeof dest;

  std::vector<unsigned char> unit(kUnitSize, 0x5A);
  if (payload == kPayloadH264) {
    const unsigned char start[] = {0, 0, 0, 1, 0x65};
    std::memcpy(unit.data(), start, sizeof start);
  }
  figures f;
  const double start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
  for (int u = 0; u < units; ++u) {
    int offset = 0;
    int remaining = kUnitSize;
    for (int guard = 0; remaining > 0 && guard < kUnitSize; ++guard) {
      if (send_rtp(t.get(), unit.data(), &offset, &remaining) > 0) {
        ++t->rtp_seq;
        ++f.packets;
      }
    }
    t->rtp_timestamp += 3000;
  }
  f.cpu = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - start;
  close(t->ns.sock);
  return f;
}

// The floor: sendto of prebuilt datagrams of the same sizes.
figures run_bare_sendto(const drained_sink& sink, const std::vector<int>& sizes, int units) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  static unsigned char datagram[1500];
  std::memset(datagram, 0x5A, sizeof datagram);
  const sockaddr_in dest = sink.addr();
  figures f;
  const double start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
  for (int u = 0; u < units; ++u) {
    for (const int size : sizes) {
      if (sendto(fd, datagram, static_cast<size_t>(size), 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) > 0)
        ++f.packets;
    }
  }
  f.cpu = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - start;
  close(fd);
  return f;
}

void compare(const char* name, int payload, const std::vector<int>& sizes, int units) {
  drained_sink sink;
  figures best_path, best_bare;
  for (int round = 0; round < kRounds; ++round) {
    const figures path = run_send_rtp(sink, payload, units);
    const figures bare = run_bare_sendto(sink, sizes, units);
    if (round == 0 || path.per_packet_ns() < best_path.per_packet_ns()) best_path = path;
    if (round == 0 || bare.per_packet_ns() < best_bare.per_packet_ns()) best_bare = bare;
  }
  std::printf("%-28s send path %8.0f ns/packet   bare sendto %8.0f ns/packet   ratio %.3f   (%ld packets/round)\n",
              name, best_path.per_packet_ns(), best_bare.per_packet_ns(),
              best_path.per_packet_ns() / best_bare.per_packet_ns(), best_path.packets);
}

} // namespace

int main(int argc, char* argv[]) {
  const int units = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
  std::printf("CPU time of the sending thread per packet, best of %d rounds, %d units of %d bytes, MTU 1500\n",
              kRounds, units, kUnitSize);
  compare("plain (MPEG-4) 1472/1472/92", kPayloadMpeg4, {1472, 1472, 92}, units);
  compare("H.264 FU-A 1472/1472/93", kPayloadH264, {1472, 1472, 93}, units);
  return 0;
}
