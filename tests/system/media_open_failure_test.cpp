// A source that cannot open (the channel holds another codec, or there is no
// store at all) gives up after its retries, and the daemon ends with 0.
#include <gtest/gtest.h>

#include "harness/harness.h"
#include "media_peers.h"

namespace {

using namespace media_sys;
using harness::kPeerIpv4;

constexpr char kPidFile[] = "/var/run/avtd_1.pid";

TEST(MediaOpenFailure, ChannelWithAnotherCodecEndsTheDaemonWithStatusZero) {
  auto sessiond = start_sessiond();
  prefeed("jpeg", clip("mjpeg_std.mjpeg"), 2);
  const pid_t pid = start_daemon(daemon_args("h264", kPeerIpv4), kPidFile);
  const auto status = harness::wait_exit(pid, 30s);
  EXPECT_EQ(status.code(), 0) << status;
  EXPECT_EQ(harness::syslog_count_regex(
                R"(^vx_h264_rtp : \d+ : codec unmatch\. requested=1, channel\[0\]=2, retry=\d+$)"),
            11u);
  EXPECT_EQ(harness::syslog_count("retry=0"), 1u);
  EXPECT_EQ(harness::syslog_count_regex(R"(^rtp : \d+ : open data_src error$)"), 1u) << harness::syslog_dump();
}

TEST(MediaOpenFailure, MissingStoreEndsTheDaemonWithStatusZero) {
  auto sessiond = start_sessiond();
  const pid_t pid = start_daemon(daemon_args("mpeg4", kPeerIpv4), kPidFile);
  const auto status = harness::wait_exit(pid, 30s);
  EXPECT_EQ(status.code(), 0) << status;
  EXPECT_EQ(harness::syslog_count_regex(
                R"(^vx_mpeg4_rtp : \d+ : shm_attach error\[No such file or directory\]\(channel=0\)$)"),
            11u);
  EXPECT_EQ(harness::syslog_count_regex(R"(^vx_mpeg4_rtp : \d+ : shm attach timeout error$)"), 1u);
  EXPECT_EQ(harness::syslog_count_regex(R"(^rtp : \d+ : open data_src error$)"), 1u) << harness::syslog_dump();
}

}  // namespace
