// Cutting SD-playback blocks into NAL units.
#include <gtest/gtest.h>

#include <array>

#include "helpers/stream_fake_source.h"
#include "stream/nal_split.h"

using stream_test::pattern;
using bytes = std::vector<uint8_t>;

namespace {

bytes nal(uint8_t type, size_t body) {
  bytes b{0, 0, 0, 1, type};
  const bytes tail = pattern(body, type);
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

bytes concat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct split_result {
  std::vector<int> offsets, lengths, types;
};
split_result split(const bytes& frame, bool drop_sei = false) {
  std::array<nal_unit, kMaxUnits> units{};
  const int n = split_nal_units(frame.data(), static_cast<int>(frame.size()), drop_sei, units);
  split_result r;
  for (int i = 0; i < n; ++i) {
    r.offsets.push_back(static_cast<int>(units[i].data - frame.data()));
    r.lengths.push_back(units[i].length);
    r.types.push_back(units[i].type);
  }
  return r;
}

} // namespace

TEST(NalSplit, FourUnitsEachKeepTheirStartCodeAndSeiIsDroppedOnRequest) {
  const bytes frame = concat({nal(0x67, 10), nal(0x68, 4), nal(0x06, 8), nal(0x65, 50)});
  split_result r = split(frame);
  EXPECT_EQ(r.offsets, (std::vector<int>{0, 15, 24, 37}));
  EXPECT_EQ(r.lengths, (std::vector<int>{15, 9, 13, 55}));
  EXPECT_EQ(r.types, (std::vector<int>{0x67, 0x68, 0x06, 0x65}));

  r = split(frame, true);
  EXPECT_EQ(r.types, (std::vector<int>{0x67, 0x68, 0x65}));
  EXPECT_EQ(r.lengths, (std::vector<int>{15, 9, 55}));
}

TEST(NalSplit, AtMostFourUnitsAndADroppedSeiLeavesItsSlotToTheNext) {
  const bytes frame = concat({nal(0x67, 3), nal(0x06, 3), nal(0x68, 3), nal(0x06, 3), nal(0x65, 3), nal(0x41, 3)});
  EXPECT_EQ(split(frame).types, (std::vector<int>{0x67, 0x06, 0x68, 0x06}));
  EXPECT_EQ(split(frame, true).types, (std::vector<int>{0x67, 0x68, 0x65, 0x41}));
}

TEST(NalSplit, OnlyTheFirst512BytesAreScanned) {
  // No start code in the window: nothing.
  bytes late = pattern(512);
  late.insert(late.end(), {0, 0, 0, 1, 0x65, 9});
  EXPECT_TRUE(split(late).types.empty());

  // A start code straddling the window's end does not count.
  bytes straddle = pattern(510);
  straddle.insert(straddle.end(), {0, 0, 0, 1, 0x65});
  EXPECT_TRUE(split(straddle).types.empty());

  // A unit whose end lies beyond the window runs to the end of the frame,
  // swallowing the later start code.
  const bytes frame = concat({nal(0x65, 600), nal(0x41, 10)});
  const split_result r = split(frame);
  EXPECT_EQ(r.lengths, (std::vector<int>{static_cast<int>(frame.size())}));
}

TEST(NalSplit, BytesBeforeTheFirstStartCodeAreSkippedAndNeverScannedTwice) {
  const bytes frame = concat({bytes{9, 9, 9}, nal(0x67, 6), nal(0x65, 20)});
  const split_result r = split(frame);
  EXPECT_EQ(r.offsets, (std::vector<int>{3, 14}));
  EXPECT_EQ(r.lengths, (std::vector<int>{11, 25}));

  // Four bytes or fewer hold no unit; a trailing bare start code has no type.
  EXPECT_TRUE(split(bytes{0, 0, 0, 1}).types.empty());
  nal_unit u;
  const bytes bare{7, 0, 0, 0, 1};
  ASSERT_TRUE(find_nal_unit(bare.data(), 5, &u));
  EXPECT_EQ(u.length, 4);
  EXPECT_EQ(u.type, 0);
}
