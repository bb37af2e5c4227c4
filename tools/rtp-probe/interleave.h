// The probe's findings on a '$'-interleaved stream: framing lost, empty
// frames, a frame cut short, and RTP and RTCP sharing or changing channels.
#pragma once

#include <cstdint>

#include "findings.h"
#include "toolkit/interleave.h"

namespace probe {

class InterleaveParser {
 public:
  using FrameFn = std::function<void(uint8_t channel, Bytes frame)>;

  InterleaveParser(Findings& findings, FrameFn on_frame);

  void feed(Bytes bytes) { deframer_.feed(bytes); }
  // End of stream: a frame cut short is reported.
  void finish();

  uint64_t frames() const { return deframer_.frames(); }

 private:
  Findings& findings_;
  Deframer deframer_;
};

// Keeps RTP and RTCP each on one channel of their own.
class ChannelCheck {
 public:
  explicit ChannelCheck(Findings& findings) : findings_(findings) {}
  void on_frame(uint8_t channel, bool rtcp);
  int rtp_channel() const { return rtp_; }
  int rtcp_channel() const { return rtcp_; }

 private:
  Findings& findings_;
  int rtp_ = -1;
  int rtcp_ = -1;
};

} // namespace probe
