// A unit's packets over UDP in as few system calls as the kernel allows:
// the packets are planned one by one by the same cursor as send_rtp's, their
// heads gathered with the unit's payload slices (no copy), and handed over
//   - in one sendmsg with UDP segmentation offload, which cuts them apart
//     again at the packet size (every packet of a unit but its last has the
//     same size, so a unit goes out in bursts of up to 64 KiB); or, where the
//     kernel lacks the offload (before Linux 4.18) or refuses it,
//   - in one sendmmsg per batch of packets, the same datagrams in the same
//     order; and where sendmmsg fails too, the caller sends one packet per
//     call (send_packet).
// A NIC without the offload still gains from it: the kernel cuts the burst
// in software once, cheaper than one trip through the stack per datagram.
// Only the stream thread uses it.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstdint>

#include "stream/send_rtp.h"

struct rtp_thread;

class udp_burst {
 public:
  enum class mode { segment, batch, single };

  // Probes whether the kernel knows the offload on this socket.
  explicit udp_burst(int sock);

  mode current() const { return mode_; }
  // False once sendmmsg failed too: send one by one then.
  bool enabled() const { return mode_ != mode::single; }

  // Sends the cursor's next packets. > 0: the number of packets sent, the
  // cursor moved past them, *octets their total size (headers included).
  // 0: nothing sent and the cursor unmoved (when sendmmsg failed just now:
  // send one by one from now on). < 0: the send failed with errno set and the cursor
  // unmoved, as with send_packet.
  int send(rtp_thread& t, packet_cursor& cursor, uint32_t* octets);

  static constexpr int kMaxPackets = 64;    // the kernel's segment limit; one batch
  static constexpr int kMaxBytes = 65000;   // one UDP datagram, IPv4 or IPv6
  static constexpr int kHeadRoom = 4096;    // heads of one burst

 private:
  int plan(packet_cursor& ahead, bool same_size);
  int send_segmented(rtp_thread& t, packet_cursor& cursor, uint32_t* octets);
  int send_batch(rtp_thread& t, packet_cursor& cursor, uint32_t* octets);

  mode mode_ = mode::batch;
  std::array<uint8_t, kHeadRoom> heads_{};
  std::array<iovec, 2 * kMaxPackets> iov_{};
  std::array<mmsghdr, kMaxPackets> msgs_{};
  std::array<uint16_t, kMaxPackets> sizes_{};
  int segment_ = 0; // size of every packet of the burst but the last
  uint32_t bytes_ = 0;
};
