// The stream thread's clocks: the 5-second bit-rate window and the receiver
// keep-alive. Both measure on the monotonic clock, so setting the time of day
// (which a device does when it first reaches its time server) neither ends a
// stream early nor keeps a dead one alive.
#pragma once

#include <time.h>

#include <cstdint>
#include <optional>

timespec monotonic_now();

// Whole seconds from `from` to `to`, one less when the sub-second part went back.
long whole_seconds(const timespec& from, const timespec& to);

inline constexpr long kBitrateWindowSeconds = 4; // the window closes when more than this has passed
inline constexpr uint32_t kOctetsPerKbitWindow = 625; // 5 s * 1000 / 8

class bitrate_window {
 public:
  explicit bitrate_window(const timespec& start) : start_(start) {}
  void add(uint32_t octets) { octets_ += octets; }
  // The measured kbit/s once more than 4 whole seconds have passed; the
  // window then starts again at now.
  std::optional<uint32_t> close_if_due(const timespec& now);

 private:
  timespec start_;
  uint32_t octets_ = 0;
};

class keep_alive_watch {
 public:
  explicit keep_alive_watch(const timespec& start) : last_(start) {}
  void refresh(const timespec& now) { last_ = now; }
  // Seconds since the last keep-alive when they reached timeout, else nothing.
  std::optional<long> expired(const timespec& now, int timeout) const;

 private:
  timespec last_;
};
