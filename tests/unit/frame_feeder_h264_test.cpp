// H.264 byte streams cut into frame-store blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
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

// The units, each after a start code: long ones unless asked for short.
Bytes stream(std::initializer_list<Bytes> nals, bool three_byte_codes = false) {
  Bytes out;
  for (const Bytes& nal : nals) {
    if (!three_byte_codes) out.push_back(0);
    out.insert(out.end(), {0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
  }
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

// One character per block: 'K' key frame, '-' other; '|' before a block that starts a frame.
std::string layout(const FeedPlan& plan) {
  std::string out;
  for (const PlannedBlock& b : plan.blocks) {
    out += std::string(b.frame_start ? "|" : "") + (b.meta.frame_type == 8 ? 'K' : b.meta.frame_type == 0 ? '-' : '?');
  }
  return out;
}

TEST(FrameFeederH264, UnitsAfterShortAndLongStartCodesBecomeBlocksWithLongOnes) {
  Bytes input = {0xAA, 0xBB};  // junk before the first start code
  for (const Bytes& part : {stream({kSps}, true), stream({kPps}), stream({kIdr}, true), Bytes{0, 0}}) {
    input.insert(input.end(), part.begin(), part.end());  // trailing zero bytes last
  }
  const auto nals = find_nal_units(input);
  ASSERT_EQ(nals.size(), 3u);
  EXPECT_EQ(nals[0].type, 7);
  EXPECT_EQ(nals[0].offset, 5u);
  EXPECT_EQ(nals[0].length, kSps.size());
  EXPECT_EQ(nals[1].length, kPps.size()) << "the zero byte of a long start code is not the unit's";
  EXPECT_EQ(nals[2].length, kIdr.size()) << "trailing zeros are not the unit's";

  const FeedPlan plan = plan_h264(input, false);
  EXPECT_EQ(block_bytes(plan, input), (std::vector<Bytes>{stream({kSps}), stream({kPps}), stream({kIdr})}));
  EXPECT_TRUE(find_nal_units(Bytes{0, 0, 0, 0}).empty());
}

TEST(FrameFeederH264, KeyFrameStartsWithItsParameterSetsAndOnlyThatBlockIsMarked) {
  // Delimiters dropped; the SEI that came first moves behind the parameter sets.
  const Bytes input = stream({kAud, kSei, kSps, kPps, kIdr, kAud, kSlice, kAud, kSlice}, true);
  const FeedPlan plan = plan_h264(input, false);
  EXPECT_EQ(block_bytes(plan, input), (std::vector<Bytes>{stream({kSps}), stream({kPps}), stream({kSei}),
                                                          stream({kIdr}), stream({kSlice}), stream({kSlice})}));
  EXPECT_EQ(layout(plan), "|K---|-|-");
  EXPECT_EQ(plan.frames, 3u);
}

TEST(FrameFeederH264, KeyFrameWithoutParameterSetsRepeatsTheLastOnes) {
  const Bytes sps2 = {0x67, 0x42, 0x00, 0x1F, 0xCD};
  // Unchanged parameter sets before a non-key frame are dropped; a key frame
  // without any gets the latest ones, which here are sps2 and kPps.
  const Bytes input = stream({kSps, kPps, kIdr, kSps, kPps, kSlice, sps2, kSlice, kIdr, kSlice});
  const FeedPlan plan = plan_h264(input, false);
  EXPECT_EQ(block_bytes(plan, input),
            (std::vector<Bytes>{stream({kSps}), stream({kPps}), stream({kIdr}), stream({kSlice}), stream({sps2}),
                                stream({kSlice}), stream({sps2}), stream({kPps}), stream({kIdr}), stream({kSlice})}));
  EXPECT_EQ(layout(plan), "|K--|-|--|K--|-");
  EXPECT_EQ(plan.frames, 5u);
}

TEST(FrameFeederH264, SlicesOfOnePictureStayOneFrame) {
  const FeedPlan plan = plan_h264(stream({kSps, kPps, kIdr, kIdrRest, kSlice, kSliceRest, kSlice}), false);
  EXPECT_EQ(layout(plan), "|K---|--|-");
  EXPECT_EQ(plan.frames, 3u);
}

TEST(FrameFeederH264, PlaybackBlocksHoldWholeAccessUnitsAsFarAsTheyCanBeCutApart) {
  Bytes big_sei(600, 0x55);
  big_sei[0] = 0x06;
  const Bytes input = stream({kSps, kPps, kSei, kIdr, kSlice, kSps, kPps, big_sei, kIdr});
  const FeedPlan plan = plan_h264(input, true);
  EXPECT_EQ(block_bytes(plan, input),
            (std::vector<Bytes>{stream({kSps, kPps, kSei, kIdr}), stream({kSlice}),
                                // A unit whose end lies beyond the splitting window ends the block.
                                stream({kSps, kPps, big_sei}), stream({kIdr})}));
  EXPECT_EQ(layout(plan), "|K|-|K-");

  // No more than four units share a block.
  const FeedPlan split = plan_h264(stream({kSps, kPps, kSei, kSei, kIdr}), true);
  ASSERT_EQ(split.blocks.size(), 2u);
  EXPECT_EQ(split.blocks[0].parts.size(), 4u);
  EXPECT_EQ(split.frames, 1u);
}

}  // namespace
