// H.264 byte streams cut into frame-store blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "h264_units.h"

using namespace feeder;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSps = {0x67, 0x42, 0x00, 0x1E, 0xAB};
const Bytes kPps = {0x68, 0xCE, 0x38, 0x80};
const Bytes kSei = {0x06, 0x05, 0x01, 0x80};
const Bytes kAud = {0x09, 0xF0};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x21};       // first_mb_in_slice 0
const Bytes kIdrRest = {0x65, 0x44, 0x84, 0x21};   // a later slice of the same picture
const Bytes kSlice = {0x41, 0x9A, 0x02, 0x03};     // first_mb_in_slice 0
const Bytes kSliceRest = {0x41, 0x40, 0x02, 0x03};

Bytes stream(std::initializer_list<Bytes> nals, bool three_byte_codes = false) {
  Bytes out;
  for (const Bytes& nal : nals) {
    if (!three_byte_codes) out.push_back(0);
    out.insert(out.end(), {0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
}

Bytes with_start_code(const Bytes& nal) {
  Bytes out = {0, 0, 0, 1};
  out.insert(out.end(), nal.begin(), nal.end());
  return out;
}

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

std::vector<int> frame_types(const FeedPlan& plan) {
  std::vector<int> out;
  for (const PlannedBlock& b : plan.blocks) out.push_back(b.meta.frame_type);
  return out;
}

std::vector<bool> frame_starts(const FeedPlan& plan) {
  std::vector<bool> out;
  for (const PlannedBlock& b : plan.blocks) out.push_back(b.frame_start);
  return out;
}

TEST(FrameFeederH264, UnitsAfterShortAndLongStartCodesBecomeBlocksWithLongOnes) {
  Bytes input = {0xAA, 0xBB};  // junk before the first start code
  input.insert(input.end(), {0, 0, 1});
  input.insert(input.end(), kSps.begin(), kSps.end());
  input.insert(input.end(), {0, 0, 0, 1});
  input.insert(input.end(), kPps.begin(), kPps.end());
  input.insert(input.end(), {0, 0, 1});
  input.insert(input.end(), kIdr.begin(), kIdr.end());
  input.insert(input.end(), {0, 0});  // trailing zero bytes

  const auto nals = find_nal_units(input);
  ASSERT_EQ(nals.size(), 3u);
  EXPECT_EQ(nals[0].type, 7);
  EXPECT_EQ(nals[0].offset, 5u);
  EXPECT_EQ(nals[0].length, kSps.size());
  EXPECT_EQ(nals[1].length, kPps.size()) << "the zero byte of a long start code is not the unit's";
  EXPECT_EQ(nals[2].length, kIdr.size()) << "trailing zeros are not the unit's";

  const FeedPlan plan = plan_h264(input, false);
  EXPECT_EQ(block_bytes(plan, input),
            (std::vector<Bytes>{with_start_code(kSps), with_start_code(kPps), with_start_code(kIdr)}));
  EXPECT_TRUE(find_nal_units(Bytes{0, 0, 0, 0}).empty());
}

TEST(FrameFeederH264, KeyFrameStartsWithItsParameterSetsAndOnlyThatBlockIsMarked) {
  // Delimiters dropped; the SEI that came first moves behind the parameter sets.
  const Bytes input = stream({kAud, kSei, kSps, kPps, kIdr, kAud, kSlice, kAud, kSlice}, true);
  const FeedPlan plan = plan_h264(input, false);
  EXPECT_EQ(block_bytes(plan, input),
            (std::vector<Bytes>{with_start_code(kSps), with_start_code(kPps), with_start_code(kSei),
                                with_start_code(kIdr), with_start_code(kSlice), with_start_code(kSlice)}));
  EXPECT_EQ(frame_types(plan), (std::vector<int>{8, 0, 0, 0, 0, 0}));
  EXPECT_EQ(frame_starts(plan), (std::vector<bool>{true, false, false, false, true, true}));
  EXPECT_EQ(plan.frames, 3u);
}

TEST(FrameFeederH264, KeyFrameWithoutParameterSetsRepeatsTheLastOnes) {
  const Bytes sps2 = {0x67, 0x42, 0x00, 0x1F, 0xCD};
  // Unchanged parameter sets before a non-key frame are dropped; a key frame
  // without any gets the latest ones, which here are sps2 and kPps.
  const Bytes input = stream({kSps, kPps, kIdr, kSps, kPps, kSlice, sps2, kSlice, kIdr, kSlice});
  const FeedPlan plan = plan_h264(input, false);
  EXPECT_EQ(block_bytes(plan, input),
            (std::vector<Bytes>{with_start_code(kSps), with_start_code(kPps), with_start_code(kIdr),
                                with_start_code(kSlice), with_start_code(sps2), with_start_code(kSlice),
                                with_start_code(sps2), with_start_code(kPps), with_start_code(kIdr),
                                with_start_code(kSlice)}));
  EXPECT_EQ(frame_types(plan), (std::vector<int>{8, 0, 0, 0, 0, 0, 8, 0, 0, 0}));
  EXPECT_EQ(plan.frames, 5u);
}

TEST(FrameFeederH264, SlicesOfOnePictureStayOneFrame) {
  const Bytes input = stream({kSps, kPps, kIdr, kIdrRest, kSlice, kSliceRest, kSlice});
  const FeedPlan plan = plan_h264(input, false);
  EXPECT_EQ(plan.blocks.size(), 7u);
  EXPECT_EQ(frame_starts(plan), (std::vector<bool>{true, false, false, false, true, false, true}));
  EXPECT_EQ(plan.frames, 3u);
}

TEST(FrameFeederH264, PlaybackBlocksHoldWholeAccessUnitsAsFarAsTheyCanBeCutApart) {
  Bytes big_sei(600, 0x55);
  big_sei[0] = 0x06;
  const Bytes input = stream({kSps, kPps, kSei, kIdr, kSlice, kSps, kPps, big_sei, kIdr});
  const FeedPlan plan = plan_h264(input, true);
  EXPECT_EQ(block_bytes(plan, input),
            (std::vector<Bytes>{
                concat({with_start_code(kSps), with_start_code(kPps), with_start_code(kSei), with_start_code(kIdr)}),
                with_start_code(kSlice),
                // A unit whose end lies beyond the splitting window ends the block.
                concat({with_start_code(kSps), with_start_code(kPps), with_start_code(big_sei)}),
                with_start_code(kIdr),
            }));
  EXPECT_EQ(frame_types(plan), (std::vector<int>{8, 0, 8, 0}));
  EXPECT_EQ(frame_starts(plan), (std::vector<bool>{true, true, true, false}));

  // No more than four units share a block.
  const Bytes five = stream({kSps, kPps, kSei, kSei, kIdr});
  const FeedPlan split = plan_h264(five, true);
  ASSERT_EQ(split.blocks.size(), 2u);
  EXPECT_EQ(split.blocks[0].parts.size(), 4u);
  EXPECT_EQ(split.frames, 1u);
}

}  // namespace
