// Packets on the wire for the stream-engine tests: loopback UDP sinks,
// reading byte streams, parsing RTP headers, sending units directly.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

#include "stream/rtp_thread.h"

namespace stream_test {

using bytes = std::vector<uint8_t>;

struct rtp_packet {
  bool marker = false;
  uint16_t seq = 0;
  uint32_t timestamp = 0;
  bytes payload; // everything after the 12-byte header
};
rtp_packet parse_rtp(const bytes& packet);

// A UDP socket bound to 127.0.0.1 (or ::1) on a system-chosen port.
class udp_sink {
 public:
  explicit udp_sink(bool ipv6 = false);
  ~udp_sink();
  udp_sink(const udp_sink&) = delete;
  udp_sink& operator=(const udp_sink&) = delete;
  int fd() const { return fd_; }
  bool bound() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  // Datagrams until `count` arrived or `wait_ms` passed without one.
  std::vector<bytes> receive(size_t count, int wait_ms = 2000);

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A port that was free a moment ago (for sources that must bind a given port).
uint16_t free_udp_port();

// Points a record at a sink for direct send_rtp calls: an unbound UDP socket,
// host 127.0.0.1, the given MTU. dest must outlive the record's use.
void aim_at(rtp_thread& thread, sockaddr_in& dest, const udp_sink& sink, int mtu = 1500);
// The same to an IPv6 sink at ::1.
void aim_at(rtp_thread& thread, sockaddr_in6& dest, const udp_sink& sink, int mtu = 1500);

// Reads what arrives on a stream socket until `wait_ms` passes without data
// or `limit` bytes arrived.
bytes read_stream(int fd, size_t limit, int wait_ms = 500);

} // namespace stream_test
