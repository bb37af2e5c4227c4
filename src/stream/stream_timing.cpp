#include "stream/stream_timing.h"

timespec monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

long whole_seconds(const timespec& from, const timespec& to) {
  long seconds = static_cast<long>(to.tv_sec - from.tv_sec);
  if (to.tv_nsec < from.tv_nsec) --seconds;
  return seconds;
}

std::optional<uint32_t> bitrate_window::close_if_due(const timespec& now) {
  if (whole_seconds(start_, now) <= kBitrateWindowSeconds) return std::nullopt;
  const uint32_t kbps = octets_ / kOctetsPerKbitWindow;
  start_ = now;
  octets_ = 0;
  return kbps;
}

std::optional<long> keep_alive_watch::expired(const timespec& now, int timeout) const {
  const long elapsed = whole_seconds(last_, now);
  if (elapsed >= timeout) return elapsed;
  return std::nullopt;
}
