// The feeder's splitters on random and damaged input: no read outside the
// input, and every planned block lies inside it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "feed_plan.h"
#include "h264_units.h"
#include "jpeg_units.h"
#include "mpeg4_units.h"

using namespace feeder;

namespace {

using Bytes = std::vector<uint8_t>;

void expect_inside(const FeedPlan& plan, const Bytes& input) {
  uint64_t frames = 0;
  for (const PlannedBlock& b : plan.blocks) {
    frames += b.frame_start ? 1 : 0;
    for (const ByteRange& r : b.parts) {
      ASSERT_LE(uint64_t{r.offset} + r.length, input.size());
      ASSERT_GT(r.length, 0u);
    }
    Bytes out(block_size(b));
    assemble_block(b, input, out);
  }
  EXPECT_EQ(frames, plan.frames);
}

// Random bytes biased towards the values that make start codes and markers.
Bytes random_input(std::mt19937& rng, size_t max_len) {
  static const uint8_t kBiased[] = {0x00, 0x00, 0x00, 0x01, 0xFF, 0xD8, 0xD9, 0xDA, 0xDB, 0xC0, 0xB6, 0xB0,
                                    0x20, 0x65, 0x67, 0x68, 0x41, 0x06};
  std::uniform_int_distribution<size_t> len(0, max_len);
  std::uniform_int_distribution<int> pick(0, 3);
  std::uniform_int_distribution<size_t> biased(0, sizeof kBiased - 1);
  std::uniform_int_distribution<int> any(0, 255);
  Bytes out(len(rng));
  for (auto& b : out) b = pick(rng) == 0 ? static_cast<uint8_t>(any(rng)) : kBiased[biased(rng)];
  return out;
}

TEST(FrameFeederSplitFuzz, RandomInputNeverLeavesTheBuffer) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 3000; ++round) {
    const Bytes input = random_input(rng, 600);
    expect_inside(plan_h264(input, false), input);
    expect_inside(plan_h264(input, true), input);
    expect_inside(plan_jpeg(input), input);
    expect_inside(plan_mpeg4(input), input);
    expect_inside(plan_fixed_blocks(input, 1 + round % 97, 0), input);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
