// An MPEG-4 stream from the frame store decoded by FFmpeg frame for frame,
// each VOP cut into packets of at most the payload room with one time stamp.
#include <gtest/gtest.h>

#include "harness/harness.h"
#include "media_peers.h"
#include "media_rtp.h"

namespace {

using namespace media_sys;
using harness::kPeerIpv4;

TEST(Mpeg4Stream, EveryFedFrameDecodesFromTheFirstIntraVop) {
  const std::string m4v = clip("mpeg4.m4v");
  const std::string config = mpeg4_config_hex(read_bytes(m4v));
  ASSERT_FALSE(config.empty());
  ffmpeg_decoder decoder(sdp_for("video", 120, {"rtpmap:120 MP4V-ES/90000", "fmtp:120 profile-level-id=1;config=" + config}));
  ASSERT_TRUE(decoder.ready()) << decoder.errors();
  auto sessiond = start_sessiond();
  rtp_relay relay(udp_receiver(kPeerIpv4));

  // Two frames first, the newest not an I-VOP: the daemon waits for the feed's first one.
  prefeed("mpeg4", m4v, 2);
  const pid_t pid = start_daemon(daemon_args("mpeg4", kPeerIpv4), "/var/run/avtd_1.pid");
  EXPECT_TRUE(wait_reader_waiting("vx_mpeg4_rtp")) << harness::syslog_dump();
  auto feeder = start_feeder("mpeg4", m4v, {"--fps", "60", "--rate-code", "30", "--keep"});
  EXPECT_EQ(feeder.wait(60s).code(), 0) << feeder.err();
  EXPECT_TRUE(relay.wait_quiet(700ms, 20s)) << harness::syslog_dump();
  const auto decoded = decoder.stop();
  EXPECT_EQ(stop_daemon(pid).code(), 0);
  relay.stop();

  ASSERT_GE(decoded.size(), 300u);
  EXPECT_EQ(contiguous_run(decoded, source_hashes(m4v, "m4v")), std::optional<size_t>(0))
      << "decoded frames are not the clip's from its first frame on";

  const auto packets = relay.packets();
  ASSERT_FALSE(packets.empty());
  uint32_t vops = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    const auto& p = packets[i];
    EXPECT_EQ(p.payload_type, 120);
    EXPECT_LE(p.payload.size(), 1460u) << "packet " << i;
    if (i > 0) {
      EXPECT_EQ(p.seq, static_cast<uint16_t>(packets[i - 1].seq + 1));
      EXPECT_EQ(p.timestamp, packets[i - 1].timestamp + (packets[i - 1].marker ? 3000u : 0u)) << "packet " << i;
    }
    // Only the packet that ends a VOP may be short.
    if (!p.marker) {
      EXPECT_EQ(p.payload.size(), 1460u) << "packet " << i;
    }
    vops += p.marker ? 1 : 0;
  }
  EXPECT_EQ(packets.front().timestamp, 3000u);
  EXPECT_GE(vops, 300u);
}

}  // namespace
