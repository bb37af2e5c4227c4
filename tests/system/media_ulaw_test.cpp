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
  auto sessiond = start_sessiond();
  rtp_relay relay(udp_receiver(kPeerIpv4), false);
  // 60 blocks of 320 bytes at 8000 bytes/s: 2.4 s of audio.
  auto feeder = start_feeder("ulaw", tone_path, {"--frames", "60", "--keep"});
  ASSERT_TRUE(harness::wait_for_file("/tmp/shm4")) << feeder.err();
  const pid_t pid = start_daemon(daemon_args("ulaw", kPeerIpv4), "/var/run/avtd_1.pid");
  EXPECT_EQ(feeder.wait(30s).code(), 0) << feeder.err();
  EXPECT_TRUE(relay.wait_quiet(700ms, 20s)) << harness::syslog_dump();
  EXPECT_EQ(stop_daemon(pid).code(), 0);
  relay.stop();

  const auto packets = relay.packets();
  ASSERT_GE(packets.size(), 20u);
  bytes samples;
  for (size_t i = 0; i < packets.size(); ++i) {
    const auto& p = packets[i];
    EXPECT_EQ(p.payload_type, 0);
    EXPECT_TRUE(p.marker);
    ASSERT_EQ(p.payload.size(), 512u) << "packet " << i;
    if (i > 0) {
      EXPECT_EQ(p.seq, static_cast<uint16_t>(packets[i - 1].seq + 1));
      EXPECT_EQ(p.timestamp, packets[i - 1].timestamp + 512) << "packet " << i;
    }
    samples.insert(samples.end(), p.payload.begin(), p.payload.end());
  }
  EXPECT_EQ(packets.front().timestamp, 512u);
  // The audio starts at a block the daemon found first and runs on unbroken.
  bool found = false;
  for (size_t block = 0; !found && block * 320 + samples.size() <= tone.size(); ++block) {
    found = std::equal(samples.begin(), samples.end(), tone.begin() + static_cast<long>(block * 320));
  }
  EXPECT_TRUE(found) << "the received samples are not one unbroken run of the fed bytes";
}

}  // namespace
