// MPEG-4 Part 2 elementary streams cut into one block per VOP.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "mpeg4_units.h"

using namespace feeder;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kVos = {0, 0, 1, 0xB0, 0x01};
const Bytes kVo = {0, 0, 1, 0xB5, 0x09};
const Bytes kVoId = {0, 0, 1, 0x00};
const Bytes kVol = {0, 0, 1, 0x20, 0x08, 0xC8, 0x0D};
const Bytes kUserData = {0, 0, 1, 0xB2, 'L', 'a', 'v'};
const Bytes kGov = {0, 0, 1, 0xB3, 0x00, 0x10};
const Bytes kIVop = {0, 0, 1, 0xB6, 0x10, 0xAA, 0xBB};  // coding type 0
const Bytes kPVop = {0, 0, 1, 0xB6, 0x51, 0xCC};        // coding type 1
const Bytes kVosEnd = {0, 0, 1, 0xB1};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<Bytes> block_bytes(const FeedPlan& plan, const Bytes& input) {
  std::vector<Bytes> out;
  for (const PlannedBlock& b : plan.blocks) {
    Bytes bytes(block_size(b));
    assemble_block(b, input, bytes);
    out.push_back(bytes);
  }
  return out;
}

TEST(FrameFeederMpeg4, EveryIVopCarriesTheConfigurationHeadersAndFrameType15) {
  const Bytes config = concat({kVos, kVo, kVoId, kVol});
  const Bytes input = concat({{0x7F, 0x00},  // bytes before the first start code
                              config, kUserData, kIVop, kPVop, kPVop, kGov, kIVop, kPVop, kVosEnd});
  const FeedPlan plan = plan_mpeg4(input);
  EXPECT_EQ(block_bytes(plan, input), (std::vector<Bytes>{
                                          concat({config, kUserData, kIVop}),
                                          kPVop,
                                          kPVop,
                                          concat({config, kGov, kIVop}),
                                          kPVop,
                                      }));
  std::vector<int> types;
  for (const PlannedBlock& b : plan.blocks) types.push_back(b.meta.frame_type);
  EXPECT_EQ(types, (std::vector<int>{15, 0, 0, 15, 0}));
  EXPECT_EQ(plan.frames, 5u);
}

TEST(FrameFeederMpeg4, NewConfigurationReplacesTheRepeatedOne) {
  const Bytes vol2 = {0, 0, 1, 0x21, 0x09, 0x77};
  const Bytes input = concat({kVos, kVol, kIVop, kVos, vol2, kIVop, kIVop});
  const auto blocks = block_bytes(plan_mpeg4(input), input);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[1], concat({kVos, vol2, kIVop}));
  EXPECT_EQ(blocks[2], concat({kVos, vol2, kIVop}));
}

TEST(FrameFeederMpeg4, StreamWithoutVopsGivesNoBlocks) {
  EXPECT_TRUE(plan_mpeg4(concat({kVos, kVol, kVosEnd})).blocks.empty());
  EXPECT_TRUE(plan_mpeg4(Bytes{}).blocks.empty());
}

}  // namespace
