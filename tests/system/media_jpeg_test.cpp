// JPEG streams from the frame store: with RFC 2435 headers FFmpeg and
// GStreamer decode pictures with standard and with custom tables, 4:2:2 and
// with restart markers, frame for frame; without
// them every picture arrives as the whole stored file; and the session
// daemon's frame rate paces the pictures.
#include <gtest/gtest.h>

#include "harness/harness.h"
#include "media_peers.h"
#include "media_rtp.h"

namespace {

using namespace media_sys;
using harness::kPeerIpv4;

// Feeds `name` at twice its rate (rate code 30) into a live store, its first
// picture before the daemon starts, and runs the daemon with `options` and
// the frame-rate option 30; `decode`: FFmpeg and GStreamer decode it.
stream_result jpeg_stream(const std::string& name, std::vector<std::string> options, int frames,
                          bool decode, int session_rate = 30) {
  options.push_back("--framerate=30");
  rtp_relay relay(udp_receiver(kPeerIpv4));
  const std::string path = clip(name);
  const size_t first = jpeg_pictures(read_bytes(path)).front().size();
  return run_stream({.codec = "jpeg", .clip = path, .daemon = daemon_args("jpeg", kPeerIpv4, options),
                     .feed = {"--fps", "60", "--rate-code", "30", "--loop", "--frames", std::to_string(frames - 1)},
                     .prefeed = 1, .feed_clip = clip_after_first(path, first),
                     .sdp = decode ? sdp_for("video", 26, {"rtpmap:26 JPEG/90000"}) : "",
                     .session_rate = session_rate,
                     .gst_caps = decode ? "encoding-name=JPEG,payload=26" : "",
                     .gst_depayloader = "rtpjpegdepay"},
                    relay);
}

// Every packet a well-formed RFC 2435 packet of a 320x240 picture of `type`:
// offsets run on from 0 within a picture, Q stays the same, types 64 and up
// carry the restart marker header (F and L set, count 0x3FFF), and a Q of
// 128 or more brings two 8-bit tables in the picture's first packet.
// Returns each picture's Q.
std::vector<int> rfc2435_qs(const std::vector<rtp_packet>& packets, uint8_t type) {
  const size_t main = type >= 64 ? 12 : 8;
  std::vector<int> qs;
  uint32_t next_offset = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    SCOPED_TRACE("packet " + std::to_string(i));
    const auto& d = packets[i].payload;
    EXPECT_EQ(packets[i].payload_type, 26);
    if (d.size() <= main) {
      ADD_FAILURE() << "too short";
      continue;
    }
    const uint32_t offset = be32(d, 0) & 0xFFFFFF;
    EXPECT_EQ(offset, next_offset);
    if (offset == 0) qs.push_back(d[5]);
    if (qs.empty()) continue; // the stream did not start at a picture's start
    // type, Q, width and height in 8-pixel units
    EXPECT_EQ(bytes(d.begin() + 4, d.begin() + 8), (bytes{type, static_cast<uint8_t>(qs.back()), 320 / 8, 240 / 8}));
    if (type >= 64) {
      EXPECT_EQ(be32(d, 8) & 0xFFFF, 0xFFFFu) << "restart interval " << (be32(d, 8) >> 16);
    }
    size_t tables = 0;
    if (offset == 0 && d[5] >= 128) {
      EXPECT_EQ(d.size() >= main + 4 ? be32(d, main) : 0u, 128u) << "MBZ 0, 8-bit tables, luma and chroma";
      tables = 4 + 128;
    }
    next_offset = packets[i].marker ? 0 : offset + static_cast<uint32_t>(d.size() - main - tables);
  }
  return qs;
}

struct table_kind {
  const char* name;
  std::string clip;
  bool custom; // Q 255 with the picture's own tables; else a Q below 128
  uint8_t type = 1;
};

class JpegRfc2435 : public ::testing::TestWithParam<table_kind> {};

TEST_P(JpegRfc2435, PicturesDecodeFrameForFrame) {
  const auto r = jpeg_stream(GetParam().clip, {"--enable-rfc2435"}, 450, true);
  const auto qs = rfc2435_qs(r.packets, GetParam().type);
  ASSERT_FALSE(qs.empty());
  for (int q : qs) ASSERT_TRUE(GetParam().custom ? q == 255 : q < 128) << "Q " << q;
  expect_decoded_run(r.decoded, source_hashes(clip(GetParam().clip), "mjpeg"), 300, false);
  expect_decoded_run(r.gst_decoded, gst_source_hashes(clip(GetParam().clip)), 300, false);
}

INSTANTIATE_TEST_SUITE_P(With, JpegRfc2435,
                         ::testing::Values(table_kind{"StandardTables", "mjpeg_std.mjpeg", false},
                                           table_kind{"CustomTables", "mjpeg_custom.mjpeg", true},
                                           table_kind{"Sampling422", "mjpeg_422.mjpeg", false, 0},
                                           table_kind{"RestartMarkers", "mjpeg_rst.mjpeg", true, 65}),
                         [](const auto& info) { return std::string(info.param.name); });

struct pacing {
  const char* name;
  int session_rate;
  int every; // one picture of this many goes out
  size_t at_least;
};

class JpegWholeFiles : public ::testing::TestWithParam<pacing> {};

// Without RFC 2435 the packets of a picture carry the whole stored file; the
// session daemon's rate paces the pictures, and dropped pictures move the
// clock too.
TEST_P(JpegWholeFiles, PicturesArriveUnchangedPacedByTheSessionRate) {
  const auto& p = GetParam();
  const auto r = jpeg_stream("mjpeg_std.mjpeg", {}, 90, false, p.session_rate);
  const auto clip_pictures = jpeg_pictures(read_bytes(clip("mjpeg_std.mjpeg")));
  bytes picture;
  int previous = -1;
  size_t pictures = 0;
  for (size_t i = 0; i < r.packets.size(); ++i) {
    const auto& packet = r.packets[i];
    picture.insert(picture.end(), packet.payload.begin(), packet.payload.end());
    if (i > 0) {
      const auto& before = r.packets[i - 1];
      ASSERT_EQ(packet.timestamp, before.timestamp + (before.marker ? 3000u * p.every : 0)) << "packet " << i;
    }
    if (!packet.marker) continue;
    const auto at = std::find(clip_pictures.begin(), clip_pictures.end(), picture);
    ASSERT_NE(at, clip_pictures.end()) << "picture " << pictures << " is not a file of the clip";
    const int position = static_cast<int>(at - clip_pictures.begin());
    if (previous >= 0) {
      EXPECT_EQ(position, previous + p.every) << "picture " << pictures;
    }
    previous = position;
    picture.clear();
    ++pictures;
  }
  EXPECT_GE(pictures, p.at_least);
  EXPECT_NE(harness::read_file("/tmp/sessiond.log").value_or("").find(
                R"({"op":"framerate","reply":)" + std::to_string(p.session_rate) + "}"),
            std::string::npos);
}

// Source 30 and option 30; the session daemon says 30, or 10 (every third picture).
INSTANTIATE_TEST_SUITE_P(At, JpegWholeFiles,
                         ::testing::Values(pacing{"SessionRate30", 30, 1, 60}, pacing{"SessionRate10", 10, 3, 20}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
