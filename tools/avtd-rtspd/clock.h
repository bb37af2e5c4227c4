// The monotonic clock in milliseconds, for every deadline of avtd-rtspd.
#pragma once

#include <time.h>

#include <cstdint>

namespace rtspd {

inline int64_t monotonic_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

} // namespace rtspd
