// JPEG streams from the frame store: with RFC 2435 headers FFmpeg decodes
// pictures with standard and with custom tables frame for frame; without
// them every picture arrives as the whole stored file; and the session
// daemon's frame rate paces the pictures.
#include <gtest/gtest.h>

#include "harness/harness.h"
#include "media_peers.h"
#include "media_rtp.h"

namespace {

using namespace media_sys;
using harness::kPeerIpv4;

constexpr char kPidFile[] = "/var/run/avtd_1.pid";

struct main_header {
  uint32_t offset;
  int q;
  int width;
  int height;
};

main_header header_of(const rtp_packet& p) {
  const auto& d = p.payload;
  return {uint32_t{d[1]} << 16 | uint32_t{d[2]} << 8 | d[3], d[5], d[6], d[7]};
}

// The pictures of a stream without payload headers: the payloads of each
// run of packets up to a marked one.
std::vector<bytes> whole_pictures(const std::vector<rtp_packet>& packets) {
  std::vector<bytes> out;
  bytes picture;
  for (const auto& p : packets) {
    picture.insert(picture.end(), p.payload.begin(), p.payload.end());
    if (p.marker) {
      out.push_back(std::move(picture));
      picture.clear();
    }
  }
  return out;
}

// Where each received picture is in the clip; -1 for one that is not there.
std::vector<int> positions(const std::vector<bytes>& received, const std::vector<bytes>& clip_pictures) {
  std::vector<int> out;
  for (const auto& r : received) {
    int at = -1;
    for (size_t i = 0; i < clip_pictures.size() && at < 0; ++i) {
      if (clip_pictures[i] == r) at = static_cast<int>(i);
    }
    out.push_back(at);
  }
  return out;
}

// Packets of one picture share its time stamp; the next picture's is `step` on.
void expect_picture_steps(const std::vector<rtp_packet>& packets, uint32_t step) {
  for (size_t i = 1; i < packets.size(); ++i) {
    const uint32_t expected = packets[i - 1].timestamp + (packets[i - 1].marker ? step : 0);
    EXPECT_EQ(packets[i].timestamp, expected) << "packet " << i;
  }
}

class JpegStream : public ::testing::Test {
 protected:
  // Feeds `name` at twice its rate (rate code 30) into a live store, runs the
  // daemon with `options`, and returns the packets once the stream is quiet.
  std::vector<rtp_packet> stream(const std::string& name, std::vector<std::string> options, int frames,
                                 ffmpeg_decoder* decoder, std::vector<std::string>* decoded, int session_rate = 30) {
    auto sessiond = start_sessiond(session_rate);
    rtp_relay relay(udp_receiver(kPeerIpv4), decoder != nullptr);
    auto feeder = start_feeder("jpeg", clip(name),
                               {"--fps", "60", "--rate-code", "30", "--loop", "--frames", std::to_string(frames), "--keep"});
    EXPECT_TRUE(harness::wait_for_file("/tmp/shm0")) << feeder.err();
    options.push_back("--framerate=30");
    const pid_t pid = start_daemon(daemon_args("jpeg", kPeerIpv4, options), kPidFile);
    EXPECT_EQ(feeder.wait(60s).code(), 0) << feeder.err();
    EXPECT_TRUE(relay.wait_quiet(700ms, 20s)) << harness::syslog_dump();
    if (decoder) *decoded = decoder->stop();
    EXPECT_EQ(stop_daemon(pid).code(), 0);
    relay.stop();
    EXPECT_EQ(relay.malformed(), 0);
    return relay.packets();
  }

  // Every packet a well-formed RFC 2435 packet: offsets run on from 0 within
  // a picture, the picture's fields stay the same; returns the Q values seen.
  std::vector<int> check_rfc2435(const std::vector<rtp_packet>& packets) {
    std::vector<int> qs;
    uint32_t next_offset = 0;
    main_header first{};
    for (size_t i = 0; i < packets.size(); ++i) {
      const auto& p = packets[i];
      EXPECT_EQ(p.payload_type, 26);
      if (p.payload.size() <= 8) {
        ADD_FAILURE() << "packet " << i << " too short";
        continue;
      }
      const auto h = header_of(p);
      EXPECT_EQ(h.offset, next_offset) << "packet " << i;
      EXPECT_EQ(p.payload[4], 1) << "type";
      if (h.offset == 0) {
        first = h;
        qs.push_back(h.q);
      } else {
        EXPECT_EQ(h.q, first.q) << "packet " << i;
      }
      EXPECT_EQ(h.width, 320 / 8);
      EXPECT_EQ(h.height, 240 / 8);
      const size_t tables = h.offset == 0 && h.q >= 128 ? 4 + be16(p.payload, 10) : 0;
      next_offset = p.marker ? 0 : h.offset + static_cast<uint32_t>(p.payload.size() - 8 - tables);
    }
    return qs;
  }
};

TEST_F(JpegStream, StandardTablePicturesDecodeFrameForFrame) {
  ffmpeg_decoder decoder(sdp_for("video", 26, {"rtpmap:26 JPEG/90000"}));
  ASSERT_TRUE(decoder.ready()) << decoder.errors();
  std::vector<std::string> decoded;
  const auto packets = stream("mjpeg_std.mjpeg", {"--enable-rfc2435"}, 450, &decoder, &decoded);
  const auto qs = check_rfc2435(packets);
  ASSERT_FALSE(qs.empty());
  for (int q : qs) ASSERT_LT(q, 128);

  ASSERT_GE(decoded.size(), 300u);
  EXPECT_TRUE(contiguous_run(decoded, source_hashes(clip("mjpeg_std.mjpeg"), "mjpeg")).has_value())
      << "decoded pictures are not one unbroken run of the clip's";
}

TEST_F(JpegStream, CustomTablePicturesCarryTheirTablesAndDecodeFrameForFrame) {
  ffmpeg_decoder decoder(sdp_for("video", 26, {"rtpmap:26 JPEG/90000"}));
  ASSERT_TRUE(decoder.ready()) << decoder.errors();
  std::vector<std::string> decoded;
  const auto packets = stream("mjpeg_custom.mjpeg", {"--enable-rfc2435"}, 450, &decoder, &decoded);
  const auto qs = check_rfc2435(packets);
  ASSERT_FALSE(qs.empty());
  for (int q : qs) ASSERT_EQ(q, 255);
  for (const auto& p : packets) {
    if (header_of(p).offset != 0) continue;
    EXPECT_EQ(p.payload[8], 0) << "MBZ";
    EXPECT_EQ(p.payload[9], 0) << "8-bit tables";
    EXPECT_EQ(be16(p.payload, 10), 128) << "luma and chroma tables";
  }

  ASSERT_GE(decoded.size(), 300u);
  EXPECT_TRUE(contiguous_run(decoded, source_hashes(clip("mjpeg_custom.mjpeg"), "mjpeg")).has_value())
      << "decoded pictures are not one unbroken run of the clip's";
}

TEST_F(JpegStream, WithoutRfc2435EveryPictureArrivesAsTheWholeStoredFile) {
  const auto packets = stream("mjpeg_std.mjpeg", {}, 90, nullptr, nullptr);
  const auto clip_pictures = jpeg_pictures(read_bytes(clip("mjpeg_std.mjpeg")));
  const auto got = positions(whole_pictures(packets), clip_pictures);
  ASSERT_GE(got.size(), 60u);
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_GE(got[i], 0) << "picture " << i << " is not a file of the clip";
    if (i > 0) {
      EXPECT_EQ(got[i], got[i - 1] + 1) << "picture " << i;
    }
  }
  expect_picture_steps(packets, 3000);
}

TEST_F(JpegStream, SessionFrameRatePacesThePictures) {
  // Source 30, option 30, session daemon 10: every third picture goes out.
  const auto packets = stream("mjpeg_std.mjpeg", {}, 90, nullptr, nullptr, 10);
  const auto clip_pictures = jpeg_pictures(read_bytes(clip("mjpeg_std.mjpeg")));
  const auto got = positions(whole_pictures(packets), clip_pictures);
  ASSERT_GE(got.size(), 20u);
  for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i], got[i - 1] + 3) << "picture " << i;
  // Dropped pictures move the clock too.
  expect_picture_steps(packets, 9000);
  const auto asked = harness::read_file("/tmp/sessiond.log");
  ASSERT_TRUE(asked.has_value());
  EXPECT_NE(asked->find(R"({"op":"framerate","reply":10})"), std::string::npos) << *asked;
}

}  // namespace
