// The receiving host's side of a soak: it follows the RTP sequence numbers
// of the stream, keeps the receiver's keep-alives going to the daemon's RTCP
// port (pausable, to let them lapse), and floods that port with junk.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "harness/harness.h"

namespace soak {

using namespace std::chrono_literals;
using clock = std::chrono::steady_clock;

inline constexpr int kH264PayloadType = 96;

// Two consecutive packets whose sequence numbers are not consecutive.
struct sequence_gap {
  uint16_t last = 0;
  uint16_t next = 0;
  clock::time_point at; // arrival of `next`
};

class rtp_watch {
 public:
  explicit rtp_watch(uint16_t port)
      : rx_(harness::kPeerIpv4, port, {.receive_buffer = 16 << 20}), thread_([this] { run(); }) {}
  ~rtp_watch() {
    stop_.store(true);
    thread_.join();
  }

  uint64_t packets() const { return packets_.load(); }
  uint64_t bytes() const { return bytes_.load(); } // UDP payloads
  uint64_t ssrc_changes() const { return ssrc_changes_.load(); }
  std::vector<sequence_gap> gaps() const {
    std::lock_guard lock(mutex_);
    return gaps_;
  }

 private:
  void run() {
    while (!stop_.load()) {
      const auto d = rx_.receive(200ms);
      toolkit::RtpPacket rtp;
      if (!d || toolkit::parse_rtp(d->data, rtp) != toolkit::RtpError::none || rtp.payload_type != kH264PayloadType) {
        continue;
      }
      const uint16_t seq = rtp.seq;
      const uint32_t ssrc = rtp.ssrc;
      if (packets_.load() > 0) {
        if (ssrc != ssrc_) ssrc_changes_.fetch_add(1);
        if (seq != static_cast<uint16_t>(last_ + 1)) {
          std::lock_guard lock(mutex_);
          gaps_.push_back({last_, seq, d->at});
        }
      }
      ssrc_ = ssrc;
      last_ = seq;
      packets_.fetch_add(1);
      bytes_.fetch_add(d->data.size());
    }
  }

  harness::UdpReceiver rx_;
  uint16_t last_ = 0;
  uint32_t ssrc_ = 0;
  std::atomic<uint64_t> packets_{0};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> ssrc_changes_{0};
  mutable std::mutex mutex_;
  std::vector<sequence_gap> gaps_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

inline sockaddr_in daemon_address(uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, harness::kLocalIpv4, &to.sin_addr);
  return to;
}

// One datagram a second to the daemon's RTCP port, as a receiver's reports
// would come, unless paused.
class keep_alive_sender {
 public:
  explicit keep_alive_sender(uint16_t rtcp_port)
      : sock_(harness::peer_socket(AF_INET, SOCK_DGRAM)), to_(daemon_address(rtcp_port)), thread_([this] { run(); }) {}
  ~keep_alive_sender() {
    stop_.store(true);
    thread_.join();
  }

  void pause(bool paused) { paused_.store(paused); }

 private:
  void run() {
    while (!stop_.load()) {
      if (!paused_.load()) {
        sendto(sock_.get(), "k", 1, 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
      }
      for (int i = 0; i < 10 && !stop_.load(); ++i) std::this_thread::sleep_for(100ms);
    }
  }

  harness::Fd sock_;
  sockaddr_in to_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// `count` datagrams of random bytes and random sizes (empty ones included)
// from the receiving host to the daemon's RTCP port, as fast as they go.
inline void flood_rtcp_port(uint16_t rtcp_port, int count, uint32_t seed) {
  harness::Fd sock = harness::peer_socket(AF_INET, SOCK_DGRAM);
  const sockaddr_in to = daemon_address(rtcp_port);
  std::mt19937 random(seed);
  std::vector<uint8_t> junk(1400);
  for (int i = 0; i < count; ++i) {
    const size_t size = random() % (junk.size() + 1);
    for (size_t j = 0; j < size; ++j) junk[j] = static_cast<uint8_t>(random());
    sendto(sock.get(), junk.data(), size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
}

} // namespace soak
