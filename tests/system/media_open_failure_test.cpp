// A source that cannot open (the channel holds another codec, or there is no
// store at all) gives up after its retries, and the daemon ends with 0.
#include <gtest/gtest.h>

#include "harness/harness.h"
#include "media_peers.h"

namespace {

using namespace media_sys;

// Runs the daemon for `datatype` until it ends by itself, with status 0
// after its source failed to open.
void expect_daemon_gives_up(const std::string& datatype) {
  auto sessiond = start_sessiond();
  const pid_t pid = start_daemon(daemon_args(datatype, harness::kPeerIpv4));
  EXPECT_EQ(harness::wait_exit(pid, 30s).code(), 0);
  EXPECT_EQ(harness::syslog_count_regex(R"(^rtp : \d+ : open data_src error$)"), 1u) << harness::syslog_dump();
}

TEST(MediaOpenFailure, ChannelWithAnotherCodecEndsTheDaemonWithStatusZero) {
  auto jpeg = start_feeder("jpeg", clip("mjpeg_std.mjpeg"), {"--frames", "2", "--unpaced", "--keep"});
  ASSERT_EQ(jpeg.wait(30s).code(), 0) << jpeg.err();
  expect_daemon_gives_up("h264");
  EXPECT_EQ(harness::syslog_count_regex(
                R"(^vx_h264_rtp : \d+ : codec unmatch\. requested=1, channel\[0\]=2, retry=\d+$)"),
            11u);
  EXPECT_EQ(harness::syslog_count("retry=0"), 1u);
}

TEST(MediaOpenFailure, MissingStoreEndsTheDaemonWithStatusZero) {
  expect_daemon_gives_up("mpeg4");
  EXPECT_EQ(harness::syslog_count_regex(
                R"(^vx_mpeg4_rtp : \d+ : shm_attach error\[No such file or directory\]\(channel=0\)$)"),
            11u);
  EXPECT_EQ(harness::syslog_count_regex(R"(^vx_mpeg4_rtp : \d+ : shm attach timeout error$)"), 1u);
}

}  // namespace
