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
  rtp_relay relay(udp_receiver(kPeerIpv4));
  // Two frames first, the newest not an I-VOP: the daemon waits for the feed's first one.
  const auto r = run_stream(
      {.codec = "mpeg4", .clip = m4v, .daemon = daemon_args("mpeg4", kPeerIpv4),
       .feed = {"--fps", "60", "--rate-code", "30"}, .prefeed = 2,
       .sdp = sdp_for("video", 120, {"rtpmap:120 MP4V-ES/90000", "fmtp:120 profile-level-id=1;config=" + config})},
      relay);
  expect_decoded_run(r.decoded, source_hashes(m4v, "m4v"), 300, true);

  const auto& packets = r.packets;
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.front().timestamp, 3000u);
  uint32_t vops = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    SCOPED_TRACE("packet " + std::to_string(i));
    const auto& p = packets[i];
    EXPECT_EQ(p.payload_type, 120);
    // Only the packet that ends a VOP may be short.
    EXPECT_TRUE(p.marker ? p.payload.size() <= 1460u : p.payload.size() == 1460u) << p.payload.size();
    if (i > 0) {
      EXPECT_EQ(p.seq, static_cast<uint16_t>(packets[i - 1].seq + 1));
      EXPECT_EQ(p.timestamp, packets[i - 1].timestamp + (packets[i - 1].marker ? 3000u : 0u));
    }
    vops += p.marker ? 1 : 0;
  }
  EXPECT_GE(vops, 300u);
}

}  // namespace
