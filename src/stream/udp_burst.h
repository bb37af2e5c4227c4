// A unit's packets over UDP in as few system calls as the kernel allows:
// the packets are planned one by one by the same cursor as send_rtp's, their
// heads gathered with the unit's payload slices (no copy), and handed over
// in one call with UDP segmentation offload, which cuts them apart again at
// the packet size. Every packet of a unit but its last has the same size,
// so a unit goes out in bursts of up to 64 KiB. Kernels or routes that
// refuse the offload get the packets one call each (send_rtp) from then on.
// Only the stream thread uses it.
#pragma once

#include <sys/uio.h>

#include <array>
#include <cstdint>

#include "stream/send_rtp.h"

struct rtp_thread;

class udp_burst {
 public:
  // Probes whether the kernel knows the offload on this socket.
  explicit udp_burst(int sock);

  // False once the kernel refused the offload: send one by one then.
  bool enabled() const { return enabled_; }

  // Sends the cursor's next packets. > 0: the number of packets sent, the
  // cursor moved past them, *octets their total size (headers included).
  // 0: nothing sent and the cursor unmoved (the offload was refused just
  // now). < 0: the send failed with errno set and the cursor unmoved, as
  // with send_packet.
  int send(rtp_thread& t, packet_cursor& cursor, uint32_t* octets);

  static constexpr int kMaxPackets = 64;    // the kernel's segment limit
  static constexpr int kMaxBytes = 65000;   // one UDP datagram, IPv4 or IPv6
  static constexpr int kHeadRoom = 4096;    // heads of one burst

 private:
  int plan(packet_cursor& ahead);

  bool enabled_ = false;
  std::array<uint8_t, kHeadRoom> heads_{};
  std::array<iovec, 2 * kMaxPackets> iov_{};
  int segment_ = 0; // size of every packet of the burst but the last
  uint32_t bytes_ = 0;
};
