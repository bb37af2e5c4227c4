// Cutting SD-playback blocks into NAL units.
#include <gtest/gtest.h>

#include <array>
#include <tuple>

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

using unit = std::tuple<int, int, int>; // offset, length with start code, type byte

} // namespace

TEST(NalSplit, UnitsKeepTheirStartCodeAtMostFourAreTakenAndOnlyThe512ByteWindowIsScanned) {
  bytes late = pattern(512);
  late.insert(late.end(), {0, 0, 0, 1, 0x65, 9});
  bytes straddle = pattern(510);
  straddle.insert(straddle.end(), {0, 0, 0, 1, 0x65});
  const bytes four = concat({nal(0x67, 10), nal(0x68, 4), nal(0x06, 8), nal(0x65, 50)});
  const bytes six = concat({nal(0x67, 3), nal(0x06, 3), nal(0x68, 3), nal(0x06, 3), nal(0x65, 3), nal(0x41, 3)});
  const bytes beyond = concat({nal(0x65, 600), nal(0x41, 10)});
  struct split_case {
    const char* name;
    bytes frame;
    bool drop_sei;
    std::vector<unit> units;
  };
  const split_case cases[] = {
      {"four units", four, false, {{0, 15, 0x67}, {15, 9, 0x68}, {24, 13, 0x06}, {37, 55, 0x65}}},
      {"SEI dropped on request", four, true, {{0, 15, 0x67}, {15, 9, 0x68}, {37, 55, 0x65}}},
      {"at most four units", six, false, {{0, 8, 0x67}, {8, 8, 0x06}, {16, 8, 0x68}, {24, 8, 0x06}}},
      {"a dropped SEI leaves its slot to the next", six, true,
       {{0, 8, 0x67}, {16, 8, 0x68}, {32, 8, 0x65}, {40, 8, 0x41}}},
      {"bytes before the first start code are skipped", concat({{9, 9, 9}, nal(0x67, 6), nal(0x65, 20)}), false,
       {{3, 11, 0x67}, {14, 25, 0x65}}},
      {"no start code in the first 512 bytes", late, false, {}},
      {"a start code straddling the window's end", straddle, false, {}},
      {"a unit ending beyond the window runs to the frame's end", beyond, false,
       {{0, static_cast<int>(beyond.size()), 0x65}}},
      {"four bytes hold no unit", {0, 0, 0, 1}, false, {}},
  };
  for (const split_case& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<nal_unit, kMaxUnits> units{};
    const int n = split_nal_units(c.frame.data(), static_cast<int>(c.frame.size()), c.drop_sei, units);
    std::vector<unit> got;
    for (int i = 0; i < n; ++i) got.emplace_back(units[i].data - c.frame.data(), units[i].length, units[i].type);
    EXPECT_EQ(got, c.units);
  }
}

TEST(NalSplit, TrailingBareStartCodeIsAUnitWithoutType) {
  nal_unit u;
  const bytes bare{7, 0, 0, 0, 1};
  ASSERT_TRUE(find_nal_unit(bare.data(), 5, &u));
  EXPECT_EQ(u.length, 4);
  EXPECT_EQ(u.type, 0);
}
