// H.264 packets: STAP-A and single NAL unit packets for SEI and parameter
// sets, FU-A fragments for slices, compared byte for byte.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"
#include "stream/interleave.h"
#include "stream/send_rtp.h"

using namespace stream_test;

namespace {

bytes nal(uint8_t header, size_t body_size, uint8_t seed = 0) {
  bytes b{0, 0, 0, 1, header};
  const bytes body = pattern(body_size, seed);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

bytes concat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class H264Packets : public ::testing::Test {
 protected:
  void SetUp() override {
    t = std::make_unique<rtp_thread>();
    t->payload = kPayloadH264;
    t->rtp_version = 2;
    t->rtp_payload_type = kPayloadH264;
    t->rtp_timestamp = 3000;
    aim_at(*t, dest, sink);
  }
  void TearDown() override { close(t->ns.sock); }

  // Sends a unit and returns the payloads (after the RTP header) with markers.
  std::vector<rtp_packet> send(const bytes& unit) {
    const auto results = send_unit(*t, unit);
    std::vector<rtp_packet> out;
    for (const bytes& p : sink.receive(results.size())) out.push_back(parse_rtp(p));
    return out;
  }

  udp_sink sink;
  sockaddr_in dest{};
  std::unique_ptr<rtp_thread> t;
};

} // namespace

TEST_F(H264Packets, ParameterSetsAndSeiGoAsOneNalStapAOrSingleNalWithDisableStap) {
  const bytes sps = nal(0x67, 20);
  auto packets = send(sps);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_TRUE(packets[0].marker);
  EXPECT_EQ(packets[0].payload, concat({{0x60 | 24, 0x00, 21}, bytes(sps.begin() + 4, sps.end())}));

  const bytes sei = nal(0x06, 300);
  packets = send(sei);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].payload, concat({{24, 0x01, 0x2D}, bytes(sei.begin() + 4, sei.end())}));

  t->disable_stap = true;
  const bytes pps = nal(0x68, 4);
  packets = send(pps);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_TRUE(packets[0].marker);
  EXPECT_EQ(packets[0].payload, bytes(pps.begin() + 4, pps.end()));
}

TEST_F(H264Packets, SliceIsFragmentedAsFuAStartContinuationEndWith1458BodyBytesEach) {
  const bytes slice = nal(0x65, 3000);
  const auto packets = send(slice);
  ASSERT_EQ(packets.size(), 3u);
  const bytes body(slice.begin() + 5, slice.end());
  EXPECT_EQ(packets[0].payload, concat({{0x7C, 0x85}, bytes(body.begin(), body.begin() + 1458)}));
  EXPECT_EQ(packets[1].payload, concat({{0x7C, 0x05}, bytes(body.begin() + 1458, body.begin() + 2916)}));
  EXPECT_EQ(packets[2].payload, concat({{0x7C, 0x45}, bytes(body.begin() + 2916, body.end())}));
  EXPECT_FALSE(packets[0].marker);
  EXPECT_FALSE(packets[1].marker);
  EXPECT_TRUE(packets[2].marker);
  for (const auto& p : packets) EXPECT_EQ(p.timestamp, 3000u);
  EXPECT_EQ(static_cast<uint16_t>(packets[1].seq - packets[0].seq), 1);
  EXPECT_EQ(static_cast<uint16_t>(packets[2].seq - packets[1].seq), 1);
}

TEST_F(H264Packets, SliceBodyOfRoomMinusTwoIsOneFragmentAndRoomMinusOneNeedsTwo) {
  auto packets = send(nal(0x41, 1458));
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].payload[0], 0x40 | 28);
  EXPECT_EQ(packets[0].payload[1], 0x80 | 0x40 | 1);
  EXPECT_EQ(packets[0].payload.size(), 2u + 1458);
  EXPECT_TRUE(packets[0].marker);

  const bytes slice = nal(0x41, 1459);
  packets = send(slice);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].payload[1], 0x80 | 1);
  EXPECT_FALSE(packets[0].marker);
  EXPECT_EQ(packets[1].payload, (bytes{0x40 | 28, 0x40 | 1, slice.back()}));
  EXPECT_TRUE(packets[1].marker);
}

TEST_F(H264Packets, ParameterSetLargerThanOnePacketIsFragmentedNotTruncatedIntoStapA) {
  for (const bool disable_stap : {false, true}) {
    t->disable_stap = disable_stap;
    const bytes sei = nal(0x06, 2000);
    const auto packets = send(sei);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].payload[0], 28);
    EXPECT_EQ(packets[0].payload[1], 0x80 | 6);
    EXPECT_EQ(packets[1].payload[1], 0x40 | 6);
    bytes body;
    for (const auto& p : packets) body.insert(body.end(), p.payload.begin() + 2, p.payload.end());
    EXPECT_EQ(body, bytes(sei.begin() + 5, sei.end()));
  }
}

TEST_F(H264Packets, BytesWithoutStartCodeContinueTheLastNalUnitsFragmentation) {
  send(nal(0x41, 10)); // sets NRI 0x40, type 1
  auto packets = send(pattern(30));
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].payload, concat({{0x40 | 28, 0x40 | 1}, pattern(30)}));

  // A unit of five bytes or fewer is never a unit start.
  const bytes tiny{0, 0, 0, 1, 0x65};
  packets = send(tiny);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].payload, concat({{0x40 | 28, 0x40 | 1}, tiny}));
}

TEST_F(H264Packets, RetryAfterFailedSendRebuildsTheSameFirstFragment) {
  const bytes slice = nal(0x65, 100);
  const int good = t->ns.sock;
  t->ns.sock = -1;
  int offset = 0;
  int remaining = static_cast<int>(slice.size());
  EXPECT_LT(send_rtp(t.get(), slice.data(), &offset, &remaining), 0);
  EXPECT_EQ(offset, 0);
  t->ns.sock = good;
  EXPECT_GT(send_rtp(t.get(), slice.data(), &offset, &remaining), 0);
  EXPECT_EQ(remaining, 0);
  const auto got = sink.receive(1);
  ASSERT_EQ(got.size(), 1u);
  const rtp_packet p = parse_rtp(got[0]);
  EXPECT_EQ(p.payload, concat({{0x7C, 0x80 | 0x40 | 5}, bytes(slice.begin() + 5, slice.end())}));
}

TEST(H264PacketsTcp, FragmentsCarry1442BodyBytesBehindThePrefix) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  interleave_reset();
  auto t = std::make_unique<rtp_thread>();
  t->payload = kPayloadH264;
  t->ns.protocol = kProtocolTcp;
  t->ns.sock = sv[0];
  t->ns.mtu = 1500;
  t->interleaved = 0;
  const bytes slice = nal(0x65, 3000);
  send_unit(*t, slice);
  const interleaved_stream s = split_interleaved(read_stream(sv[1], 4000));
  ASSERT_TRUE(s.whole);
  ASSERT_EQ(s.frames.size(), 3u);
  EXPECT_EQ(s.frames[0].body.size(), 12u + 2 + 1442);
  EXPECT_EQ(s.frames[1].body.size(), 12u + 2 + 1442);
  EXPECT_EQ(s.frames[2].body.size(), 12u + 2 + 116);
  EXPECT_TRUE(parse_rtp(s.frames[2].body).marker);
  interleave_close(sv[0]);
  close(sv[1]);
}
