// CPU cost per packet of the stream thread's send path, one send per packet
// (send_rtp) and in bursts with segmentation offload (udp_burst), against a
// bare loop of sendto calls of the same sizes to the same kind of sink: a
// loopback UDP socket drained by its own thread. Prints figures; asserts
// nothing. (scripts/bench.sh measures the whole daemon against the senders
// it is compared with.)
//
//   packet_path [packets]   (default 60000 packets a round, in units of
//                            3000 and of 60000 bytes)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <span>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "stream/rtp_thread.h"
#include "stream/send_rtp.h"
#include "stream/udp_burst.h"
#include "toolkit/net.h"

namespace {

constexpr int kRounds = 3;

double cpu_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class drained_sink {
 public:
  drained_sink() {
    sockaddr_storage a{};
    fd_ = toolkit::loopback_udp(AF_INET, &a, 8 << 20).release();
    addr_ = reinterpret_cast<const sockaddr_in&>(a);
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

// A record aimed at the sink, as the stream thread has it.
std::unique_ptr<rtp_thread> aimed(sockaddr_in& dest, const drained_sink& sink, int payload) {
  auto t = std::make_unique<rtp_thread>();
  dest = sink.addr();
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
  return t;
}

std::vector<unsigned char> unit_of(int payload, int size) {
  std::vector<unsigned char> unit(static_cast<size_t>(size), 0x5A);
  if (payload == kPayloadH264) {
    const unsigned char start[] = {0, 0, 0, 1, 0x65};
    std::memcpy(unit.data(), start, sizeof start);
  }
  return unit;
}

// The datagram sizes of one unit, planned as the send path plans them.
std::vector<int> sizes_of(int payload, const std::vector<unsigned char>& unit) {
  auto t = std::make_unique<rtp_thread>();
  t->payload = payload;
  t->ns.protocol = kProtocolUdp;
  t->ns.mtu = 1500;
  std::array<uint8_t, kPacketBufferSize> buffer{};
  const packet_layout layout = layout_of(*t);
  packet_cursor cursor = unit_cursor(*t, layout, unit);
  std::vector<int> sizes;
  for (planned_packet p; cursor.next(buffer, p);) sizes.push_back(static_cast<int>(p.size()));
  return sizes;
}

// The send path as the stream thread runs it: until the unit is out, one
// packet per send_rtp call or a burst per udp_burst call.
figures run_send_path(const drained_sink& sink, int payload, int unit_size, int units, bool bursts) {
  sockaddr_in dest{};
  auto t = aimed(dest, sink, payload);
  udp_burst burst(t->ns.sock);
  const std::vector<unsigned char> unit = unit_of(payload, unit_size);
  figures f;
  const double start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
  for (int u = 0; u < units; ++u) {
    const packet_layout layout = layout_of(*t);
    packet_cursor cursor = unit_cursor(*t, layout, unit);
    for (int guard = 0; !cursor.done() && guard < unit_size; ++guard) {
      uint32_t octets = 0;
      const int packets = bursts ? burst.send(*t, cursor, &octets) : (send_packet(*t, cursor) > 0 ? 1 : 0);
      if (packets > 0) {
        keep_position(*t, cursor);
        f.packets += packets;
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

void compare(const char* name, int payload, int unit_size, int packets) {
  drained_sink sink;
  const std::vector<int> sizes = sizes_of(payload, unit_of(payload, unit_size));
  const int units = std::max(1, packets / static_cast<int>(sizes.size()));
  figures best_path, best_burst, best_bare;
  auto keep_best = [](figures& best, const figures& f, int round) {
    if (round == 0 || f.per_packet_ns() < best.per_packet_ns()) best = f;
  };
  for (int round = 0; round < kRounds; ++round) {
    keep_best(best_path, run_send_path(sink, payload, unit_size, units, false), round);
    keep_best(best_burst, run_send_path(sink, payload, unit_size, units, true), round);
    keep_best(best_bare, run_bare_sendto(sink, sizes, units), round);
  }
  const double bare = best_bare.per_packet_ns();
  std::printf("%-30s %7.0f (%.3f)  %7.0f (%.3f)  %7.0f   %zu packets/unit\n", name, best_path.per_packet_ns(),
              best_path.per_packet_ns() / bare, best_burst.per_packet_ns(), best_burst.per_packet_ns() / bare, bare,
              sizes.size());
}

} // namespace

int main(int argc, char* argv[]) {
  const int packets = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60000;
  std::printf("CPU time of the sending thread, ns per packet (× bare sendto), best of %d rounds, about %d packets a "
              "round, MTU 1500\n", kRounds, packets);
  std::printf("%-30s %15s  %15s  %7s\n", "unit", "send_rtp", "udp_burst", "sendto");
  compare("MPEG-4, 3000 bytes", kPayloadMpeg4, 3000, packets);
  compare("H.264 FU-A, 3000 bytes", kPayloadH264, 3000, packets);
  compare("MPEG-4, 60000 bytes", kPayloadMpeg4, 60000, packets);
  compare("H.264 FU-A, 60000 bytes", kPayloadH264, 60000, packets);
  return 0;
}
