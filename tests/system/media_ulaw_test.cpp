// A mu-law stream from the first audio channel: 512 samples per packet, the
// clock 512 on per packet, and the samples exactly the bytes fed.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness/harness.h"
#include "media_peers.h"
#include "media_rtp.h"

namespace {

using namespace media_sys;
using harness::kPeerIpv4;

TEST(UlawStream, PacketsCarryTheFedSamplesInUnitsOf512) {
  const std::string tone_path = clip("tone.ulaw");
  const bytes tone = read_bytes(tone_path);
  ASSERT_GT(tone.size(), 20000u);
  rtp_relay relay(udp_receiver(kPeerIpv4));
  // The tone's first block in the store before the daemon starts and the
  // next 59 (2.4 s of audio in all) once it reads.
  const auto r = run_stream({.codec = "ulaw", .clip = tone_path, .daemon = daemon_args("ulaw", kPeerIpv4),
                             .feed = {"--frames", "59"}, .prefeed = 1, .feed_clip = clip_after_first(tone_path, 320),
                             .store = "/tmp/shm4"},
                            relay);

  const auto& packets = r.packets;
  ASSERT_GE(packets.size(), 20u);
  EXPECT_EQ(packets.front().timestamp, 512u);
  bytes samples;
  for (size_t i = 0; i < packets.size(); ++i) {
    const auto& p = packets[i];
    // One talkspurt: only its first packet is marked.
    ASSERT_TRUE(p.marker == (i == 0) && p.payload_type == 0 && p.payload.size() == 512u) << "packet " << i;
    if (i > 0) {
      EXPECT_EQ(p.seq, static_cast<uint16_t>(packets[i - 1].seq + 1));
      EXPECT_EQ(p.timestamp, packets[i - 1].timestamp + 512) << "packet " << i;
    }
    samples.insert(samples.end(), p.payload.begin(), p.payload.end());
  }
  // The audio starts at a block the daemon found first and runs on unbroken.
  bool found = false;
  for (size_t block = 0; !found && block * 320 + samples.size() <= tone.size(); ++block) {
    found = std::equal(samples.begin(), samples.end(), tone.begin() + static_cast<long>(block * 320));
  }
  EXPECT_TRUE(found) << "the received samples are not one unbroken run of the fed bytes";
}

}  // namespace
