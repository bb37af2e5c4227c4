// Packets of payloads without a payload header (MPEG-4, mu-law, metadata,
// whole JPEG files): sizes, header fields and framing, over UDP and TCP.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "stream/interleave.h"
#include "stream/send_rtp.h"
#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"

using namespace stream_test;

namespace {

std::unique_ptr<rtp_thread> mpeg4_record() {
  auto t = std::make_unique<rtp_thread>();
  t->payload = kPayloadMpeg4;
  t->rtp_version = 2;
  t->rtp_payload_type = kPayloadMpeg4;
  t->rtp_seq = 0xFFFE; // the wire carries only the low 16 bits
  t->rtp_timestamp = 0xA1B2C3D4;
  t->rtp_ssrc = 0x11223344;
  return t;
}

struct tcp_link {
  int ours = -1;
  int theirs = -1;
  tcp_link() {
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    ours = sv[0];
    theirs = sv[1];
    interleave_reset();
  }
  ~tcp_link() {
    interleave_close(ours);
    close(theirs);
  }
};

} // namespace

TEST(PlainPayload, UdpUnitOf3000BytesGoesOutAs1460_1460_80WithMarkerOnLastOnly) {
  udp_sink sink;
  sockaddr_in dest{};
  auto t = mpeg4_record();
  aim_at(*t, dest, sink);
  const bytes unit = pattern(3000);

  const std::vector<int> results = send_unit(*t, unit);
  EXPECT_EQ(results, (std::vector<int>{1472, 1472, 92}));

  const auto packets = sink.receive(3);
  ASSERT_EQ(packets.size(), 3u);
  bytes joined;
  const size_t sizes[] = {1460, 1460, 80};
  for (size_t i = 0; i < 3; ++i) {
    const rtp_packet p = parse_rtp(packets[i]);
    EXPECT_EQ(p.version, 2);
    EXPECT_EQ(p.padding, 0);
    EXPECT_EQ(p.extension, 0);
    EXPECT_EQ(p.csrc_count, 0);
    EXPECT_EQ(p.payload_type, kPayloadMpeg4);
    EXPECT_EQ(p.marker, i == 2);
    EXPECT_EQ(p.seq, static_cast<uint16_t>(0xFFFE + i));
    EXPECT_EQ(p.timestamp, 0xA1B2C3D4u);
    EXPECT_EQ(p.ssrc, 0x11223344u);
    EXPECT_EQ(p.payload.size(), sizes[i]);
    joined.insert(joined.end(), p.payload.begin(), p.payload.end());
  }
  EXPECT_EQ(joined, unit);
  close(t->ns.sock);
}

TEST(PlainPayload, TcpUnitOf3000BytesIsFramedAs1444_1444_112OnTheInterleavedChannel) {
  tcp_link link;
  auto t = mpeg4_record();
  t->ns.protocol = kProtocolTcp;
  t->ns.sock = link.ours;
  t->ns.mtu = 1500;
  t->interleaved = 2;
  const bytes unit = pattern(3000, 9);

  EXPECT_EQ(send_unit(*t, unit), (std::vector<int>{1460, 1460, 128}));

  const interleaved_stream s = split_interleaved(read_stream(link.theirs, 1460 * 2 + 128));
  ASSERT_TRUE(s.whole);
  ASSERT_EQ(s.frames.size(), 3u);
  const size_t sizes[] = {1444, 1444, 112};
  bytes joined;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(s.frames[i].channel, 2);
    EXPECT_EQ(s.frames[i].body.size(), 12 + sizes[i]); // the length field counts header and payload
    const rtp_packet p = parse_rtp(s.frames[i].body);
    EXPECT_EQ(p.marker, i == 2);
    EXPECT_EQ(p.seq, static_cast<uint16_t>(0xFFFE + i));
    joined.insert(joined.end(), p.payload.begin(), p.payload.end());
  }
  EXPECT_EQ(joined, unit);
}

TEST(PlainPayload, UnitExactlyAsLongAsTheRoomGoesInOneMarkedPacketAndOneMoreByteNeedsTwo) {
  udp_sink sink;
  sockaddr_in dest{};
  auto t = mpeg4_record();
  aim_at(*t, dest, sink);

  EXPECT_EQ(send_unit(*t, pattern(1460)), (std::vector<int>{1472}));
  auto packets = sink.receive(1);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_TRUE(parse_rtp(packets[0]).marker);

  EXPECT_EQ(send_unit(*t, pattern(1461)), (std::vector<int>{1472, 13}));
  packets = sink.receive(2);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_FALSE(parse_rtp(packets[0]).marker);
  EXPECT_TRUE(parse_rtp(packets[1]).marker);
  close(t->ns.sock);
}

TEST(PlainPayload, LowerMtuShrinksPacketsAndMtuAbove1500NeverExceedsThePacketBuffer) {
  udp_sink sink;
  sockaddr_in dest{};
  auto t = mpeg4_record();
  aim_at(*t, dest, sink, 1000);
  EXPECT_EQ(send_unit(*t, pattern(2000)), (std::vector<int>{972, 972, 92}));
  EXPECT_EQ(sink.receive(3).size(), 3u);
  close(t->ns.sock);

  for (const int mtu : {1501, 9000, 65535}) {
    aim_at(*t, dest, sink, mtu);
    for (const int r : send_unit(*t, pattern(20000))) EXPECT_LE(r, kPacketBufferSize) << "mtu " << mtu;
    for (const bytes& p : sink.receive(100, 300)) EXPECT_LE(p.size(), static_cast<size_t>(kPacketBufferSize));
    close(t->ns.sock);
  }

  tcp_link link;
  t->ns.protocol = kProtocolTcp;
  t->ns.sock = link.ours;
  t->ns.mtu = 9000;
  for (const int r : send_unit(*t, pattern(5000))) EXPECT_LE(r, kPacketBufferSize);
  const interleaved_stream s = split_interleaved(read_stream(link.theirs, 6000));
  EXPECT_TRUE(s.whole);
  for (const auto& f : s.frames) EXPECT_LE(f.body.size() + 4, static_cast<size_t>(kPacketBufferSize));
}

TEST(PlainPayload, FailedSendTakesNothingOffTheUnitAndAnMtuWithoutRoomIsRefused) {
  auto t = mpeg4_record();
  sockaddr_in dest{};
  udp_sink sink;
  aim_at(*t, dest, sink, 40); // 40 - 28 - 12 leaves no room for a payload byte
  const bytes unit = pattern(100);
  int offset = 0;
  int remaining = 100;
  errno = 0;
  EXPECT_LT(send_rtp(t.get(), unit.data(), &offset, &remaining), 0);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(remaining, 100);
  close(t->ns.sock);

  // A closed descriptor: EBADF, and the unit stays where it was.
  t->ns.mtu = 1500;
  t->ns.sock = socket(AF_INET, SOCK_DGRAM, 0);
  close(t->ns.sock);
  EXPECT_LT(send_rtp(t.get(), unit.data(), &offset, &remaining), 0);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(remaining, 100);
}
