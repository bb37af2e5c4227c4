// H.264 payload rules as the daemon sends them (packetization mode 1): one
// NAL unit per single-NAL or STAP-A packet or per FU-A run, and the marker
// bit on the last packet of every NAL unit.
#pragma once

#include <cstdint>

#include "findings.h"
#include "toolkit/rtp.h"

namespace probe {

struct H264Counts {
  uint64_t nal_units = 0;
  uint64_t idr_units = 0;
  uint64_t sps_units = 0;
  uint64_t pps_units = 0;
  uint64_t stap_packets = 0;
  uint64_t fu_units = 0;
};

class H264Checker {
 public:
  explicit H264Checker(Findings& findings) : findings_(findings) {}

  // `resync`: the packet before this one was lost (or this is the first
  // one), so a fragment run may legitimately be seen from its middle.
  void on_packet(const RtpPacket& p, bool resync);

  const H264Counts& counts() const { return counts_; }

 private:
  void count_nal(uint8_t header);
  void single(const RtpPacket& p, uint8_t header);
  void stap_a(const RtpPacket& p);
  void fu_a(const RtpPacket& p, bool resync);
  void slice_timing(const RtpPacket& p, uint8_t type, Bytes body, bool resync);
  void unmarked_end(const RtpPacket& p, uint8_t type, const char* what);

  Findings& findings_;
  H264Counts counts_;
  bool fu_open_ = false;
  uint8_t fu_type_ = 0;
  uint8_t fu_nri_ = 0;
  uint32_t fu_timestamp_ = 0;
  uint16_t fu_seq_ = 0;
  bool have_slice_ = false;
  uint32_t slice_timestamp_ = 0;
  // A slice ended without the marker: fine if the picture goes on with a
  // further slice, a fault if the next packet starts another picture.
  bool unmarked_slice_ = false;
  uint16_t unmarked_seq_ = 0;
};

} // namespace probe
