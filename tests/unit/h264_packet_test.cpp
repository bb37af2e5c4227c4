// H.264 packets: STAP-A and single NAL unit packets for SEI and parameter
// sets, FU-A fragments for slices, compared byte for byte.
#include <gtest/gtest.h>

#include <cerrno>

#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"
#include "stream/send_rtp.h"

using namespace stream_test;

namespace {

bytes nal(uint8_t header, size_t body_size) {
  bytes b{0, 0, 0, 1, header};
  const bytes body = pattern(body_size, header);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

// head followed by unit[from, from + n) (n = 0: to the end).
bytes after(bytes head, const bytes& unit, size_t from, size_t n = 0) {
  const auto begin = unit.begin() + static_cast<long>(from);
  head.insert(head.end(), begin, n == 0 ? unit.end() : begin + static_cast<long>(n));
  return head;
}

} // namespace

TEST(H264Packets, ParameterSetsGoWholeAndEverythingElseInFuAFragmentsOfTheRoom) {
  const bytes sps = nal(0x67, 20), sei = nal(0x06, 300), pps = nal(0x68, 4), big_sei = nal(0x06, 2000);
  const bytes slice = nal(0x65, 3000), fits = nal(0x41, 1458), over = nal(0x41, 1459);
  const bytes no_start_code = pattern(30), tiny{0, 0, 0, 1, 0x65};
  struct h264_case {
    const char* name;
    bool disable_stap;
    bytes unit;
    std::vector<bytes> payloads;
  };
  // The rows run in order on one record: bytes without a start code continue
  // the NAL unit sent before them.
  const h264_case cases[] = {
      {"SPS in a one-NAL STAP-A", false, sps, {after({0x78, 0, 21}, sps, 4)}},
      {"SEI of NRI 0 in a STAP-A", false, sei, {after({0x18, 0x01, 0x2D}, sei, 4)}},
      {"PPS as single NAL unit with STAP-A off", true, pps, {after({}, pps, 4)}},
      // A larger one is fragmented: no receiver may see a truncated STAP-A.
      {"SEI larger than a packet", false, big_sei,
       {after({0x1C, 0x86}, big_sei, 5, 1458), after({0x1C, 0x46}, big_sei, 5 + 1458)}},
      {"SEI larger than a packet, STAP-A off", true, big_sei,
       {after({0x1C, 0x86}, big_sei, 5, 1458), after({0x1C, 0x46}, big_sei, 5 + 1458)}},
      {"slice as start, middle and end fragment", false, slice,
       {after({0x7C, 0x85}, slice, 5, 1458), after({0x7C, 0x05}, slice, 5 + 1458, 1458),
        after({0x7C, 0x45}, slice, 5 + 2916)}},
      {"slice body of the room less two: one fragment", false, fits, {after({0x5C, 0xC1}, fits, 5)}},
      {"one byte more: two fragments", false, over,
       {after({0x5C, 0x81}, over, 5, 1458), {0x5C, 0x41, over.back()}}},
      {"bytes without start code continue the last NAL unit", false, no_start_code,
       {after({0x5C, 0x41}, no_start_code, 0)}},
      {"five bytes or fewer are never a unit start", false, tiny, {after({0x5C, 0x41}, tiny, 0)}},
  };
  packet_rig rig(kPayloadH264);
  for (const h264_case& c : cases) {
    SCOPED_TRACE(c.name);
    rig.record().disable_stap = c.disable_stap;
    const unit_payloads got = payloads_of(rig.send(c.unit));
    EXPECT_EQ(got.payloads, c.payloads);
    EXPECT_TRUE(got.marker_on_last_only);
  }
}

TEST(H264Packets, RetryAfterAFailedSendRebuildsTheSameFirstFragment) {
  packet_rig rig(kPayloadH264);
  rtp_thread& t = rig.record();
  const bytes slice = nal(0x65, 100);
  const int sock = t.ns.sock;
  t.ns.sock = -1;
  int offset = 0;
  int remaining = static_cast<int>(slice.size());
  EXPECT_LT(send_rtp(&t, slice.data(), &offset, &remaining), 0);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(remaining, static_cast<int>(slice.size()));

  t.ns.sock = sock;
  EXPECT_EQ(payloads_of(rig.send(slice)).payloads, std::vector<bytes>{after({0x7C, 0xC5}, slice, 5)});
}
