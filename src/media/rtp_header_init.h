// The start-of-stream RTP header state that every frame-store source sets.
#pragma once

#include <cstdint>

struct rtp_thread;

inline constexpr uint32_t kSsrcSeedJpeg = 106;
inline constexpr uint32_t kSsrcSeedOther = 109;

// Version 2, no padding, extension, CSRCs or marker, sequence and timestamp
// 0, the given payload type and the SSRC made with `seed`.
void init_source_rtp_header(rtp_thread* thread, int payload_type, uint32_t seed);
