// The receiving host: UDP sockets in the peer network namespace that count
// what arrives, take the kernel's receive time of every datagram, and keep
// the last bytes of every RTP packet with the marker bit (the last packet of
// a unit) so that its unit's publication can be found.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bench {

struct marker_record {
  int64_t rx_ns = 0;    // CLOCK_REALTIME, taken by the kernel on arrival
  uint16_t length = 0;  // datagram size
  uint8_t tail[8] = {}; // its last bytes (right-aligned when shorter)
};

struct sink_config {
  std::string netns_path; // the peer namespace to receive in
  std::string address;    // local address there
  std::vector<int> ports; // RTP ports: counted; port + 1 (RTCP) is bound and drained
  size_t marker_capacity = 0; // marker packets kept (0: none)
};

class udp_sink {
 public:
  using first_packet_hook = std::function<void(int64_t rx_realtime_ns)>;

  udp_sink();
  ~udp_sink();
  udp_sink(const udp_sink&) = delete;
  udp_sink& operator=(const udp_sink&) = delete;

  // Binds every port and starts receiving; `hook` runs in the receiving
  // thread on the first RTP datagram. False with a message.
  bool start(const sink_config& config, first_packet_hook hook, std::string& error);
  void stop();

  uint64_t packets() const { return packets_.load(std::memory_order_acquire); }
  uint64_t bytes() const { return bytes_.load(std::memory_order_acquire); }
  // Datagrams the kernel dropped for want of buffer room, on the RTP ports.
  uint64_t dropped() const { return dropped_.load(std::memory_order_acquire); }
  // Ports that have received at least one datagram.
  int ports_heard() const { return ports_heard_.load(std::memory_order_acquire); }
  int64_t first_rx_ns() const { return first_rx_.load(std::memory_order_acquire); }
  int64_t last_rx_ns() const { return last_rx_.load(std::memory_order_acquire); }

  // Starts a new window: window_first_rx_ns() is the receive time of the
  // first datagram after this call.
  void mark() { window_first_rx_.store(0, std::memory_order_release); }
  int64_t window_first_rx_ns() const { return window_first_rx_.load(std::memory_order_acquire); }

  // Marker packets so far (read after stop()).
  const std::vector<marker_record>& markers() const { return markers_; }

 private:
  static void* thread_main(void* self);
  void run();
  void drain(size_t socket_index);

  struct port_socket {
    int fd = -1;
    bool rtp = false;
    bool heard = false;
    uint64_t drops = 0; // the socket's own drop counter as last reported
  };

  sink_config config_;
  first_packet_hook hook_;
  std::vector<port_socket> sockets_;
  int epoll_fd_ = -1;
  int ready_fd_[2] = {-1, -1};
  pthread_t thread_{};
  bool started_ = false;
  std::string setup_error_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> packets_{0};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<int> ports_heard_{0};
  std::atomic<int64_t> first_rx_{0};
  std::atomic<int64_t> last_rx_{0};
  std::atomic<int64_t> window_first_rx_{0};
  std::vector<marker_record> markers_;
  struct buffers;
  std::unique_ptr<buffers> buf_;
};

} // namespace bench
