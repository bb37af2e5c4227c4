// Packets of payloads without a payload header (MPEG-4, mu-law, metadata,
// whole JPEG files): whole packets over UDP and TCP, cut to the room.
#include <gtest/gtest.h>

#include <cerrno>
#include <span>

#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"
#include "stream/send_rtp.h"

using namespace stream_test;

namespace {

constexpr uint16_t kFirstSeq = 0xFFFE; // the wire carries only the low 16 bits

// The packet expected on the wire: the '$' prefix over TCP, the RTP header
// (timestamp A1B2C3D4, SSRC 11223344), the payload.
bytes expected_packet(bool tcp, bool marker, uint16_t seq, std::span<const uint8_t> payload) {
  const size_t rtp_size = 12 + payload.size();
  bytes p;
  if (tcp) p = {'$', 2, static_cast<uint8_t>(rtp_size >> 8), static_cast<uint8_t>(rtp_size)};
  p.insert(p.end(), {0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | kPayloadMpeg4), static_cast<uint8_t>(seq >> 8),
                     static_cast<uint8_t>(seq), 0xA1, 0xB2, 0xC3, 0xD4, 0x11, 0x22, 0x33, 0x44});
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

} // namespace

TEST(PlainPayload, UnitsAreCutToTheRoomOfMtuAndBufferWithOneTimestampAndTheMarkerOnTheLast) {
  struct sizing_case {
    const char* name;
    int protocol;
    int mtu;
    std::vector<size_t> payloads; // a unit of their sum
  };
  const sizing_case cases[] = {
      {"UDP at MTU 1500", kProtocolUdp, 1500, {1460, 1460, 80}},
      {"TCP at MTU 1500, behind the prefix", kProtocolTcp, 1500, {1444, 1444, 112}},
      {"exactly the room", kProtocolUdp, 1500, {1460}},
      {"one byte more than the room", kProtocolUdp, 1500, {1460, 1}},
      {"lowered MTU", kProtocolUdp, 1000, {960, 960, 80}},
      // An MTU above 1500 must not overflow the 1500-byte packet buffer.
      {"UDP at MTU 9000", kProtocolUdp, 9000, {1488, 1488, 24}},
      {"TCP at MTU 9000", kProtocolTcp, 9000, {1484, 1484, 32}},
  };
  for (const sizing_case& c : cases) {
    SCOPED_TRACE(c.name);
    packet_rig rig(kPayloadMpeg4, c.protocol, c.mtu);
    rig.record().rtp_seq = kFirstSeq;
    rig.record().rtp_timestamp = 0xA1B2C3D4;
    rig.record().rtp_ssrc = 0x11223344;
    size_t total = 0;
    for (const size_t n : c.payloads) total += n;
    const bytes unit = pattern(total);

    // Over TCP the packets arrive as one byte stream.
    const bool tcp = c.protocol == kProtocolTcp;
    std::vector<bytes> expected(tcp ? 1 : 0);
    std::vector<int> sizes;
    size_t at = 0;
    for (size_t i = 0; i < c.payloads.size(); ++i) {
      const bytes p = expected_packet(tcp, i + 1 == c.payloads.size(), static_cast<uint16_t>(kFirstSeq + i),
                                      std::span(unit).subspan(at, c.payloads[i]));
      if (tcp) expected[0].insert(expected[0].end(), p.begin(), p.end());
      if (!tcp) expected.push_back(p);
      sizes.push_back(static_cast<int>(p.size()));
      at += c.payloads[i];
    }
    EXPECT_EQ(rig.send(unit), expected);
    EXPECT_EQ(rig.results, sizes);
  }
}

TEST(PlainPayload, HeadersWithoutRoomForAPayloadByteAreRefusedAndTakeNothingOffTheUnit) {
  packet_rig plain(kPayloadMpeg4, kProtocolUdp, 40); // 40 - 28 - 12 leaves nothing
  packet_rig jpeg(kPayloadJpeg);
  jpeg.record().enable_rfc2435 = true;
  jpeg.record().jpeg_q = 200; // in-band tables ...
  jpeg.record().jpeg_qt_length = 1500; // ... larger than the packet
  for (rtp_thread* t : {&plain.record(), &jpeg.record()}) {
    const bytes unit = pattern(50);
    int offset = 0;
    int remaining = 50;
    errno = 0;
    EXPECT_LT(send_rtp(t, unit.data(), &offset, &remaining), 0);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(remaining, 50);
  }
}
