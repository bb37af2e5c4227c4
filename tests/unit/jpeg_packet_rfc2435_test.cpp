// RFC 2435 JPEG packets: the main header in every packet, the quantisation
// tables once per picture when Q >= 128, scan data cut to the room.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"
#include "stream/send_rtp.h"

using namespace stream_test;

namespace {

class JpegPackets : public ::testing::Test {
 protected:
  void SetUp() override {
    t = std::make_unique<rtp_thread>();
    t->payload = kPayloadJpeg;
    t->enable_rfc2435 = true;
    t->rtp_version = 2;
    t->rtp_payload_type = kPayloadJpeg;
    t->jpeg_type = 1;
    t->jpeg_width = 640 / 8;
    t->jpeg_height = 480 / 8;
    aim_at(*t, dest, sink);
  }
  void TearDown() override { close(t->ns.sock); }

  // Sends one picture's scan data the way the stream thread does: the
  // fragment offset follows the bytes sent.
  std::vector<rtp_packet> send_picture(const bytes& scan) {
    t->jpeg_offset = 0;
    int offset = 0;
    int remaining = static_cast<int>(scan.size());
    size_t sent = 0;
    for (size_t i = 0; remaining > 0 && i < scan.size(); ++i) {
      if (send_rtp(t.get(), scan.data(), &offset, &remaining) <= 0) break;
      t->jpeg_offset = static_cast<uint32_t>(offset);
      ++sent;
    }
    std::vector<rtp_packet> out;
    for (const bytes& p : sink.receive(sent)) out.push_back(parse_rtp(p));
    return out;
  }

  static uint32_t offset_of(const rtp_packet& p) {
    return static_cast<uint32_t>(p.payload[1]) << 16 | static_cast<uint32_t>(p.payload[2]) << 8 | p.payload[3];
  }

  udp_sink sink;
  sockaddr_in dest{};
  std::unique_ptr<rtp_thread> t;
};

} // namespace

TEST_F(JpegPackets, EveryPacketStartsWithMainHeaderAndCarries1452ScanBytesAtMtu1500) {
  t->jpeg_q = 80;
  const bytes scan = pattern(3500);
  const auto packets = send_picture(scan);
  ASSERT_EQ(packets.size(), 3u);
  const uint32_t offsets[] = {0, 1452, 2904};
  const size_t sizes[] = {1452, 1452, 596};
  bytes joined;
  for (size_t i = 0; i < 3; ++i) {
    const bytes& p = packets[i].payload;
    ASSERT_EQ(p.size(), 8 + sizes[i]);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(offset_of(packets[i]), offsets[i]);
    EXPECT_EQ(bytes(p.begin() + 4, p.begin() + 8), (bytes{1, 80, 80, 60}));
    EXPECT_EQ(packets[i].marker, i == 2);
    joined.insert(joined.end(), p.begin() + 8, p.end());
  }
  EXPECT_EQ(joined, scan);
}

TEST_F(JpegPackets, QuantisationTablesGoOnlyInTheFirstPacketAndQStaysTheSame) {
  t->jpeg_q = 255;
  t->jpeg_qt_mbz = 0;
  t->jpeg_qt_precision = 0;
  t->jpeg_qt_length = 128;
  const bytes tables = pattern(128, 3);
  std::copy(tables.begin(), tables.end(), t->jpeg_qt_data);
  const bytes scan = pattern(3000, 5);

  const auto packets = send_picture(scan);
  ASSERT_EQ(packets.size(), 3u);
  const bytes& first = packets[0].payload;
  EXPECT_EQ(first[5], 255);
  EXPECT_EQ(bytes(first.begin() + 8, first.begin() + 12), (bytes{0, 0, 0x00, 0x80}));
  EXPECT_EQ(bytes(first.begin() + 12, first.begin() + 140), tables);
  EXPECT_EQ(first.size(), 1460u); // 1452 less the 132 table bytes left for scan data
  bytes joined(first.begin() + 140, first.end());
  for (size_t i = 1; i < packets.size(); ++i) {
    const bytes& p = packets[i].payload;
    EXPECT_EQ(p[5], 255) << "Q 0 is reserved; every packet keeps the picture's Q";
    EXPECT_EQ(offset_of(packets[i]), joined.size());
    joined.insert(joined.end(), p.begin() + 8, p.end());
  }
  EXPECT_EQ(joined, scan);
  EXPECT_EQ(t->jpeg_q, 255) << "the record keeps Q for the next picture";

  // The next picture carries its tables again.
  const auto again = send_picture(pattern(100));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].payload.size(), 8u + 4 + 128 + 100);
}

TEST_F(JpegPackets, TablesThatLeaveNoRoomForScanDataAreRefusedWithoutConsumingTheUnit) {
  t->jpeg_q = 200;
  t->jpeg_qt_length = 1500;
  const bytes scan = pattern(50);
  int offset = 0;
  int remaining = 50;
  errno = 0;
  EXPECT_LT(send_rtp(t.get(), scan.data(), &offset, &remaining), 0);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(remaining, 50);
}

TEST_F(JpegPackets, WithRfc2435OffTheWholeFileIsCutWithoutPayloadHeader) {
  t->enable_rfc2435 = false;
  t->jpeg_q = 255;
  const bytes file = pattern(2000, 1);
  const auto packets = send_picture(file);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].payload, bytes(file.begin(), file.begin() + 1460));
  EXPECT_EQ(packets[1].payload, bytes(file.begin() + 1460, file.end()));
}
