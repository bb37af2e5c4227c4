// '$'-interleaved frames from a byte stream (a TCP connection or a file):
// '$', a channel byte, a 16-bit big-endian length, then that many bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "findings.h"
#include "wire.h"

namespace probe {

class InterleaveParser {
 public:
  using FrameFn = std::function<void(uint8_t channel, Bytes frame)>;

  InterleaveParser(Findings& findings, FrameFn on_frame);

  // Any split of the stream into pieces gives the same frames.
  void feed(Bytes bytes);
  // End of stream: a frame cut short is reported.
  void finish();

  uint64_t frames() const { return frames_; }

 private:
  static constexpr size_t kPrefix = 4;

  void drain();

  Findings& findings_;
  FrameFn on_frame_;
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  uint64_t frames_ = 0;
  bool lost_sync_ = false;
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
