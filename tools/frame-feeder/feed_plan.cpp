#include "feed_plan.h"

#include <algorithm>
#include <cstring>

namespace feeder {

uint32_t block_size(const PlannedBlock& block) {
  uint32_t size = 0;
  for (const ByteRange& part : block.parts) size += part.length + (block.start_codes ? 4 : 0);
  return size;
}

uint32_t assemble_block(const PlannedBlock& block, std::span<const uint8_t> input, std::span<uint8_t> out) {
  uint32_t at = 0;
  for (const ByteRange& part : block.parts) {
    if (block.start_codes) {
      std::memcpy(out.data() + at, kStartCode, 4);
      at += 4;
    }
    std::memcpy(out.data() + at, input.data() + part.offset, part.length);
    at += part.length;
  }
  return at;
}

FeedPlan plan_fixed_blocks(std::span<const uint8_t> input, uint32_t size, uint8_t frame_type) {
  FeedPlan plan;
  if (size == 0) return plan;
  for (size_t at = 0; at < input.size(); at += size) {
    const auto length = static_cast<uint32_t>(std::min<size_t>(size, input.size() - at));
    PlannedBlock block;
    block.parts.push_back({static_cast<uint32_t>(at), length});
    block.meta.frame_type = frame_type;
    plan.add(std::move(block));
  }
  return plan;
}

}  // namespace feeder
