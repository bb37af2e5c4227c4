// What the feeder will write: the input file cut into blocks, worked out once
// before feeding so that the feed loop only copies bytes.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace feeder {

struct ByteRange {
  uint32_t offset;
  uint32_t length;
};

// Block info values that come from the input (the rest is set while feeding).
struct BlockMeta {
  uint8_t frame_type = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint16_t quality = 0;
};

// One block: the concatenation of `parts` of the input, each preceded by a
// 4-byte start code when `start_codes` is set (H.264 NAL units are stored
// without theirs). `frame_start` marks the first block of a frame (picture,
// access unit, VOP or audio block): pacing and --frames count frames.
struct PlannedBlock {
  std::vector<ByteRange> parts;
  bool start_codes = false;
  bool frame_start = true;
  BlockMeta meta;
};

struct FeedPlan {
  std::vector<PlannedBlock> blocks;
  uint64_t frames = 0;

  void add(PlannedBlock block) {
    frames += block.frame_start ? 1 : 0;
    blocks.push_back(std::move(block));
  }
};

inline constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// The block's size in bytes.
uint32_t block_size(const PlannedBlock& block);

// Writes the block's bytes into `out` (at least block_size bytes); returns
// the number written.
uint32_t assemble_block(const PlannedBlock& block, std::span<const uint8_t> input, std::span<uint8_t> out);

// The input cut into blocks of at most `size` bytes, each its own frame.
FeedPlan plan_fixed_blocks(std::span<const uint8_t> input, uint32_t size, uint8_t frame_type);

}  // namespace feeder
