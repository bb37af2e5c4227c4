// H.264 Annex B byte streams cut into frame-store blocks.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "feed_plan.h"

namespace feeder {

// A NAL unit of the input: its bytes after the start code, without the zero
// bytes that trail it (they belong to the next start code).
struct NalUnit {
  uint32_t offset;
  uint32_t length;
  uint8_t type;
};

// Every NAL unit after 3- or 4-byte start codes; bytes before the first
// start code are skipped.
std::vector<NalUnit> find_nal_units(std::span<const uint8_t> input);

// Live stores: one NAL unit per block with a 4-byte start code. Access units
// are the frames. Access-unit delimiters, filler data and end-of-sequence or
// end-of-stream units are dropped. A key frame (an access unit with an IDR
// slice) starts with its sequence and picture parameter sets, the earlier
// ones repeated when it has none, and its first block is marked with frame
// type 8. Parameter sets repeated unchanged outside key frames are dropped,
// so that every frame period starts at exactly one block.
//
// Playback stores (`playback`): the same units, but the units of one access
// unit share blocks as far as the stream's unit splitting can cut them
// apart again: at most four units per block, and a unit is followed by
// another in the same block only when the next start code lies within 512
// bytes of its own.
//
// `repeat_headers` false: parameter sets go to the store only when they
// differ from the last ones, key frames included, so that a stream that
// never changes them has them at its start alone.
FeedPlan plan_h264(std::span<const uint8_t> input, bool playback, bool repeat_headers = true);

}  // namespace feeder
