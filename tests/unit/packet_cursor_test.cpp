// A unit's packets as the cursor plans them, compared byte for byte: plain
// payloads cut to the room of MTU, transport and address family; H.264
// STAP-A, single NAL unit packets and FU-A fragments; RFC 2435 JPEG headers;
// the mu-law marker.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>

#include "helpers/stream_fake_source.h"
#include "stream/rtp_thread.h"
#include "stream/send_rtp.h"

namespace {

using bytes = std::vector<uint8_t>;
using stream_test::pattern;

constexpr uint16_t kFirstSeq = 0xFFFE; // the wire carries only the low 16 bits

// A record with the header state a source sets.
std::unique_ptr<rtp_thread> record(int payload, int protocol = kProtocolUdp, int mtu = 1500, int family = AF_INET) {
  auto t = std::make_unique<rtp_thread>();
  t->payload = payload;
  t->rtp_version = 2;
  t->rtp_payload_type = static_cast<uint8_t>(payload);
  t->rtp_seq = kFirstSeq;
  t->rtp_timestamp = 0xA1B2C3D4;
  t->rtp_ssrc = 0x11223344;
  t->ns.protocol = protocol;
  t->ns.mtu = mtu;
  t->ns.addr.ai_family = family;
  t->interleaved = 2;
  return t;
}

// The unit's packets, whole; the record continues where they end.
std::vector<bytes> packets_of(rtp_thread& t, const bytes& unit) {
  const packet_layout layout = layout_of(t);
  packet_cursor cursor = unit_cursor(t, layout, unit);
  std::vector<bytes> out;
  uint8_t head[kPacketBufferSize];
  for (planned_packet p; out.size() <= unit.size() && cursor.next(head, p);) {
    bytes b(p.head.begin(), p.head.end());
    b.insert(b.end(), p.payload.begin(), p.payload.end());
    out.push_back(b);
  }
  keep_position(t, cursor);
  return out;
}

// What follows the RTP header of each UDP packet; the marker must be on the last alone.
std::vector<bytes> payloads_of(rtp_thread& t, const bytes& unit) {
  std::vector<bytes> out;
  const std::vector<bytes> packets = packets_of(t, unit);
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ((packets[i][1] & 0x80) != 0, i + 1 == packets.size()) << "marker of packet " << i;
    out.emplace_back(packets[i].begin() + 12, packets[i].end());
  }
  return out;
}

// head followed by unit[from, from + n) (n = 0: to the end).
bytes after(bytes head, const bytes& unit, size_t from, size_t n = 0) {
  const auto begin = unit.begin() + static_cast<long>(from);
  head.insert(head.end(), begin, n == 0 ? unit.end() : begin + static_cast<long>(n));
  return head;
}

bytes nal(uint8_t header, size_t body_size) { return after({0, 0, 0, 1, header}, pattern(body_size, header), 0); }

} // namespace

TEST(PacketCursor, PlainUnitsAreCutToTheRoomOfMtuTransportAndFamilyWithTheMarkerOnTheLast) {
  struct sizing_case {
    const char* name;
    int protocol;
    int family;
    int mtu;
    std::vector<size_t> payloads; // a unit of their sum
  };
  const sizing_case cases[] = {
      {"UDP at MTU 1500", kProtocolUdp, AF_INET, 1500, {1460, 1460, 80}},
      {"TCP at MTU 1500, behind the prefix", kProtocolTcp, AF_INET, 1500, {1444, 1444, 112}},
      {"exactly the room", kProtocolUdp, AF_INET, 1500, {1460}},
      {"one byte more than the room", kProtocolUdp, AF_INET, 1500, {1460, 1}},
      {"lowered MTU", kProtocolUdp, AF_INET, 1000, {960, 960, 80}},
      // An MTU above 1500 must not overflow the 1500-byte packet buffer.
      {"UDP at MTU 9000", kProtocolUdp, AF_INET, 9000, {1488, 1488, 24}},
      {"TCP at MTU 9000", kProtocolTcp, AF_INET, 9000, {1484, 1484, 32}},
      // IPv6 and UDP headers take 48 bytes: no datagram may need fragments.
      {"IPv6 UDP at MTU 1500", kProtocolUdp, AF_INET6, 1500, {1440, 1440, 120}},
      {"IPv6 UDP at MTU 1280", kProtocolUdp, AF_INET6, 1280, {1220, 1220, 560}},
      {"IPv6 TCP as IPv4 TCP", kProtocolTcp, AF_INET6, 1500, {1444, 1444, 112}},
  };
  for (const sizing_case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = record(kPayloadMpeg4, c.protocol, c.mtu, c.family);
    size_t total = 0;
    for (const size_t n : c.payloads) total += n;
    const bytes unit = pattern(total);

    const bool tcp = c.protocol == kProtocolTcp;
    std::vector<bytes> expected;
    size_t at = 0;
    for (size_t i = 0; i < c.payloads.size(); ++i) {
      const size_t rtp_size = 12 + c.payloads[i];
      const auto seq = static_cast<uint16_t>(kFirstSeq + i);
      bytes p;
      if (tcp) p = {'$', 2, static_cast<uint8_t>(rtp_size >> 8), static_cast<uint8_t>(rtp_size)};
      p.insert(p.end(), {0x80, static_cast<uint8_t>((i + 1 == c.payloads.size() ? 0x80 : 0) | kPayloadMpeg4),
                         static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq), 0xA1, 0xB2, 0xC3, 0xD4, 0x11,
                         0x22, 0x33, 0x44});
      expected.push_back(after(p, unit, at, c.payloads[i]));
      at += c.payloads[i];
    }
    EXPECT_EQ(packets_of(*t, unit), expected);
    EXPECT_EQ(t->rtp_seq, kFirstSeq + c.payloads.size());
  }
}

TEST(PacketCursor, HeadersWithoutRoomForAPayloadByteAreRefusedAndMoveNothing) {
  auto plain = record(kPayloadMpeg4, kProtocolUdp, 40); // 40 - 28 - 12 leaves nothing
  auto jpeg = record(kPayloadJpeg);
  jpeg->enable_rfc2435 = true;
  jpeg->jpeg_q = 200;          // in-band tables ...
  jpeg->jpeg_qt_length = 1500; // ... larger than the packet
  for (rtp_thread* t : {plain.get(), jpeg.get()}) {
    const bytes unit = pattern(50);
    const packet_layout layout = layout_of(*t);
    packet_cursor cursor = unit_cursor(*t, layout, unit);
    uint8_t head[kPacketBufferSize];
    planned_packet p;
    EXPECT_FALSE(cursor.next(head, p));
    EXPECT_EQ(cursor.offset(), 0u);
    EXPECT_EQ(cursor.seq(), kFirstSeq);
  }
}

TEST(PacketCursor, H264UnitsThatFitGoWholeAndLargerOnesInFuAFragmentsOfTheRoom) {
  const bytes sps = nal(0x67, 20), sei = nal(0x06, 300), pps = nal(0x68, 4), big_sei = nal(0x06, 2000);
  const bytes slice = nal(0x65, 3000), fits = nal(0x41, 1459), over = nal(0x41, 1460);
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
      // Never one FU-A fragment with both start and end set.
      {"slice that fills the room: single NAL unit packet", false, fits, {after({}, fits, 4)}},
      {"one byte more: two fragments", false, over,
       {after({0x5C, 0x81}, over, 5, 1458), after({0x5C, 0x41}, over, 5 + 1458)}},
      {"bytes without start code continue the last NAL unit", false, no_start_code,
       {after({0x5C, 0x41}, no_start_code, 0)}},
      {"five bytes or fewer are never a unit start", false, tiny, {after({0x5C, 0x41}, tiny, 0)}},
  };
  auto t = record(kPayloadH264);
  for (const h264_case& c : cases) {
    SCOPED_TRACE(c.name);
    t->disable_stap = c.disable_stap;
    EXPECT_EQ(payloads_of(*t, c.unit), c.payloads);
  }
  // A slice that a further slice of its picture follows leaves the marker to that one.
  t->unit_continues_picture = true;
  for (const bytes& p : packets_of(*t, slice)) EXPECT_EQ(p[1] & 0x80, 0);
}

TEST(PacketCursor, Rfc2435MainHeaderInEveryPacketAndTablesOnlyInTheFirstPacketOfEachPicture) {
  struct jpeg_case {
    const char* name;
    bool rfc2435;
    uint8_t q;
    std::vector<size_t> scan_per_packet; // of a 3500-byte picture
    uint8_t type = 1;
    uint16_t restart_interval = 0;
  };
  const jpeg_case cases[] = {
      {"Q below 128: no tables", true, 80, {1452, 1452, 596}},
      {"Q 255: 132 table bytes in the first packet", true, 255, {1320, 1452, 728}},
      {"payload header off: the whole file cut to the room", false, 255, {1460, 1460, 580}},
      // Restart markers: the restart marker header in every packet, before the tables.
      {"type 64: restart marker header", true, 80, {1448, 1448, 604}, 64, 40},
      {"type 65 with tables", true, 255, {1316, 1448, 736}, 65, 0x1234},
  };
  const bytes tables = pattern(128, 3);
  for (const jpeg_case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = record(kPayloadJpeg);
    t->enable_rfc2435 = c.rfc2435;
    t->jpeg_type = c.type;
    t->jpeg_restart_interval = c.restart_interval;
    t->jpeg_q = c.q;
    t->jpeg_width = 640 / 8;
    t->jpeg_height = 480 / 8;
    t->jpeg_qt_length = 128;
    std::copy(tables.begin(), tables.end(), t->jpeg_qt_data);

    // The payloads of a picture cut into scan chunks of the sizes given:
    // each names its offset in the scan data.
    auto expected = [&](const bytes& scan, const std::vector<size_t>& chunks) {
      std::vector<bytes> out;
      size_t at = 0;
      for (const size_t n : chunks) {
        bytes p;
        if (c.rfc2435) p = {0, static_cast<uint8_t>(at >> 16), static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at),
                            c.type, c.q, 80, 60};
        if (c.type >= 64) p = after(p, {static_cast<uint8_t>(c.restart_interval >> 8),
                                         static_cast<uint8_t>(c.restart_interval), 0xFF, 0xFF}, 0);
        if (c.rfc2435 && c.q >= 128 && at == 0) p = after(after(p, {0, 0, 0x00, 0x80}, 0), tables, 0);
        out.push_back(after(p, scan, at, n));
        at += n;
      }
      return out;
    };
    const bytes scan = pattern(3500, 5);
    EXPECT_EQ(payloads_of(*t, scan), expected(scan, c.scan_per_packet));
    // The next picture carries its tables again.
    const bytes next = pattern(100, 7);
    EXPECT_EQ(payloads_of(*t, next), expected(next, {100}));
  }
}

TEST(PacketCursor, MuLawMarksATalkspurtsFirstPacketOnly) {
  auto t = record(kPayloadUlaw);
  const bytes unit = pattern(512);
  for (const uint8_t talkspurt : {1, 0}) {
    t->rtp_marker = talkspurt;
    const auto packets = packets_of(*t, unit);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0][1], (talkspurt ? 0x80 : 0) | kPayloadUlaw);
    EXPECT_EQ(bytes(packets[0].begin() + 12, packets[0].end()), unit);
  }
}
