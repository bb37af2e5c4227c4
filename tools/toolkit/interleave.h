// '$'-interleaved frames from a byte stream (a TCP connection or a file):
// '$', a channel byte, a 16-bit big-endian length, then that many bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "toolkit/rtp.h"

namespace toolkit {

inline constexpr size_t kInterleavePrefix = 4;

class Deframer {
 public:
  // A whole frame (possibly empty); the bytes live until the next feed().
  using FrameFn = std::function<void(uint8_t channel, Bytes frame)>;
  // Bytes outside any frame, once each time the stream falls out of step:
  // how many were skipped to reach the next '$', after how many frames.
  using SkipFn = std::function<void(size_t skipped, uint64_t frames)>;

  explicit Deframer(FrameFn on_frame, SkipFn on_skip = {});

  // Any split of the stream into pieces gives the same frames.
  void feed(Bytes bytes);
  // Bytes of a frame not complete yet (at the end of a stream: one cut short).
  size_t pending() const { return buffer_.size() - start_; }
  uint64_t frames() const { return frames_; }
  // Everything fed so far made whole frames, nothing out of step.
  bool in_step() const { return skips_ == 0; }

 private:
  void drain();

  FrameFn on_frame_;
  SkipFn on_skip_;
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  uint64_t frames_ = 0;
  uint64_t skips_ = 0;
  bool lost_step_ = false;
};

} // namespace toolkit
