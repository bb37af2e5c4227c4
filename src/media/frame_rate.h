// Frame periods of the 90 kHz RTP clock and the source rates that the video
// sources derive from a block's frame_rate_code.
#pragma once

#include <cstdint>

// frame_rate_code values with a meaning of their own.
inline constexpr uint8_t kRateCodeUnknown = 0;    // producer gave no rate
inline constexpr uint8_t kRateCode7_5 = 64;       // 7.5 frames/s
inline constexpr uint8_t kRateCodeHalf = 254;     // 0.5 frames/s (JPEG only)

// A block without a rate is timed as if it came at this rate, by every source,
// rather than dividing by zero.
inline constexpr uint32_t kAssumedFrameRate = 30;

inline constexpr uint32_t kRtpVideoClock = 90000;

// One frame period for the H.264 and MPEG-4 sources.
constexpr uint32_t video_frame_period(uint8_t code) {
  if (code == kRateCode7_5) return 12000;
  if (code == kRateCodeUnknown) return kRtpVideoClock / kAssumedFrameRate;
  return kRtpVideoClock / code;
}

// The JPEG source also knows the half-frame-per-second code.
constexpr uint32_t jpeg_frame_period(uint8_t code) {
  if (code == kRateCodeHalf) return 180000;
  return video_frame_period(code);
}

// Source rate of a JPEG picture as the pacing sees it.
constexpr float jpeg_source_rate(uint8_t code) {
  if (code == kRateCode7_5) return 7.5f;
  if (code == kRateCodeHalf) return 0.5f;
  if (code == kRateCodeUnknown) return static_cast<float>(kAssumedFrameRate);
  return static_cast<float>(code);
}
