// MPEG-4 Part 2 elementary streams cut into one block per VOP.
#pragma once

#include <cstdint>
#include <span>

#include "feed_plan.h"

namespace feeder {

// Each VOP becomes one block with whatever headers (visual object sequence,
// visual object, video object layer, group of VOPs, user data) came before
// it. An I-VOP block always starts with the configuration headers (VOS
// through VOL), repeated from earlier in the stream when it has none of its
// own, and gets frame type 15; other VOPs get 0. Visual-object-sequence end
// codes are dropped so that a looped stream goes on.
FeedPlan plan_mpeg4(std::span<const uint8_t> input);

inline constexpr uint8_t kMpeg4KeyFrameType = 15;

}  // namespace feeder
