// RFC 2435 JPEG packets: the main header in every packet, the quantisation
// tables once per picture when Q >= 128, scan data cut to the room.
#include <gtest/gtest.h>

#include <algorithm>

#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"

using namespace stream_test;

TEST(JpegPackets, MainHeaderInEveryPacketAndTablesOnlyInTheFirstPacketOfEachPicture) {
  struct jpeg_case {
    const char* name;
    bool rfc2435;
    uint8_t q;
    std::vector<size_t> scan_per_packet; // of a 3500-byte picture
  };
  const jpeg_case cases[] = {
      {"Q below 128: no tables", true, 80, {1452, 1452, 596}},
      // Q 0 is reserved: every packet keeps the picture's Q.
      {"Q 255: 132 table bytes in the first packet", true, 255, {1320, 1452, 728}},
      {"payload header off: the whole file cut to the room", false, 255, {1460, 1460, 580}},
  };
  const bytes tables = pattern(128, 3);
  for (const jpeg_case& c : cases) {
    SCOPED_TRACE(c.name);
    packet_rig rig(kPayloadJpeg);
    rtp_thread& t = rig.record();
    t.enable_rfc2435 = c.rfc2435;
    t.jpeg_type = 1;
    t.jpeg_q = c.q;
    t.jpeg_width = 640 / 8;
    t.jpeg_height = 480 / 8;
    t.jpeg_qt_length = 128;
    std::copy(tables.begin(), tables.end(), t.jpeg_qt_data);

    // The payloads expected for a picture cut into scan chunks of the sizes given.
    auto expected = [&](const bytes& scan, const std::vector<size_t>& chunks) {
      std::vector<bytes> out;
      size_t at = 0;
      for (const size_t n : chunks) {
        bytes p;
        if (c.rfc2435) p = {0, static_cast<uint8_t>(at >> 16), static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at),
                            1, c.q, 80, 60};
        if (c.rfc2435 && c.q >= 128 && at == 0) {
          p.insert(p.end(), {0, 0, 0x00, 0x80});
          p.insert(p.end(), tables.begin(), tables.end());
        }
        p.insert(p.end(), scan.begin() + static_cast<long>(at), scan.begin() + static_cast<long>(at + n));
        out.push_back(p);
        at += n;
      }
      return out;
    };
    const bytes scan = pattern(3500, 5);
    unit_payloads got = payloads_of(rig.send(scan));
    EXPECT_EQ(got.payloads, expected(scan, c.scan_per_packet));
    EXPECT_TRUE(got.marker_on_last_only);
    EXPECT_EQ(t.jpeg_q, c.q);

    // The next picture carries its tables again.
    const bytes next = pattern(100, 7);
    got = payloads_of(rig.send(next));
    EXPECT_EQ(got.payloads, expected(next, {100}));
  }
}
