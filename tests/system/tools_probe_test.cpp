// rtp-probe against the real daemon over long enough for sender reports:
// their counts are verified, and the probe's keep-alives hold a stream.
// (The demo runs the probe on every payload and transport.)
#include <gtest/gtest.h>

#include <string>

#include "harness/harness.h"
#include "tools_streams.h"

using namespace tools_streams;
using harness::bin;
using harness::Process;

namespace {

// Streams `codec` for `seconds` to a probe on the receiving host and
// returns the probe's output once it has finished.
// A multicast `host` is joined by the probe.
harness::RunResult probe_stream(const Codec& codec, int seconds) {
  Process feeder = start_feeder(codec);
  Process probe({bin("rtp-probe"), "--duration", std::to_string(seconds), "--payload", std::to_string(codec.payload),
                 "--quiet", "--port", std::to_string(kDstPort)},
                harness::SpawnOptions{.in_peer = true});
  EXPECT_TRUE(probe.wait_err("listening on", 10s)) << probe.err();
  const pid_t daemon = start_daemon(stream_options(codec));
  harness::RunResult result;
  result.status = probe.wait(std::chrono::seconds(seconds + 20));
  result.out = probe.out();
  result.err = probe.err();
  EXPECT_EQ(engine_runs::stop_stream(daemon), 0);
  return result;
}

void expect_clean(const harness::RunResult& r, long min_reports) {
  EXPECT_EQ(r.status.code(), 0) << r.out << r.err << harness::syslog_dump();
  const std::string json = r.out.substr(0, r.out.find('\n'));
  EXPECT_NE(json.find("\"result\":\"clean\""), std::string::npos) << json;
  EXPECT_GT(json_number(json, "packets"), 0) << json;
  EXPECT_GE(json_number(json, "sender_reports"), min_reports) << json;
  EXPECT_GE(json_number(json, "sr_packet_checked"), min_reports) << json;
  EXPECT_EQ(json_number(json, "first_seq"), 0) << json; // the probe saw the stream from its start
}

} // namespace

TEST(ToolsProbe, DaemonsH264StreamIsCleanWithTwoSenderReportsVerified) {
  const auto r = probe_stream(kH264, 12);
  expect_clean(r, 2);
  EXPECT_EQ(json_number(r.out, "warnings"), 0) << r.out;
  EXPECT_GT(json_number(r.out, "idr"), 0) << r.out;
  EXPECT_GE(json_number(r.out, "sr_octet_checked"), 2) << r.out;
}

TEST(ToolsProbe, KeepaliveReportsHoldAUnicastStreamPastItsTimeout) {
  Process feeder = start_feeder(kMpeg4);
  Process probe({bin("rtp-probe"), "--port", std::to_string(kDstPort), "--duration", "7", "--keepalive", "--quiet"},
                harness::SpawnOptions{.in_peer = true});
  ASSERT_TRUE(probe.wait_err("listening on", 10s)) << probe.err();
  auto options = stream_options(kMpeg4);
  options.push_back("--timeout=3");
  const pid_t daemon = start_daemon(options);
  const harness::ExitStatus probed = probe.wait(30s);
  // Without the probe's reports the daemon would have ended after 3 s.
  EXPECT_TRUE(harness::process_alive(daemon)) << harness::syslog_dump();
  EXPECT_EQ(probed.code(), 0) << probe.out();
  EXPECT_EQ(engine_runs::stop_stream(daemon), 0);
}
