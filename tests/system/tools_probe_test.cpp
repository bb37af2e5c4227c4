// rtp-probe against the real daemon: every payload, over UDP and
// interleaved TCP, is reported clean, with its sender reports verified.
#include <gtest/gtest.h>

#include <iostream>
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
harness::RunResult probe_stream(const Codec& codec, int seconds, bool tcp = false,
                                const std::string& host = harness::kPeerIpv4) {
  Process feeder = start_feeder(codec);
  std::vector<std::string> probe_args = {bin("rtp-probe"), "--duration", std::to_string(seconds), "--payload",
                                         std::to_string(codec.payload), "--quiet"};
  if (tcp) {
    probe_args.insert(probe_args.end(), {"--tcp-listen", "7000"});
  } else {
    probe_args.insert(probe_args.end(), {"--port", std::to_string(kDstPort)});
  }
  if (host != harness::kPeerIpv4) {
    probe_args.insert(probe_args.end(), {"--group", host}); // an IPv6 group implies --ipv6
  }
  Process probe(probe_args, harness::SpawnOptions{.in_peer = true});
  EXPECT_TRUE(probe.wait_err("listening on", 10s)) << probe.err();
  Process handoff;
  if (tcp) {
    handoff = Process({bin("tcp-handoff"), "--session", "3", "--connect",
                       std::string(harness::kPeerIpv4) + ":7000", "--timeout", "20"});
  }
  const pid_t daemon = start_daemon(stream_options(codec, host, tcp));
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
  std::cout << json << "\n";
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
  EXPECT_GT(json_number(r.out, "idr"), 0) << r.out;
  EXPECT_GE(json_number(r.out, "sr_octet_checked"), 2) << r.out;
}

TEST(ToolsProbe, DaemonsRfc2435JpegStreamIsClean) {
  const auto r = probe_stream(kJpeg, 7);
  expect_clean(r, 1);
  EXPECT_NE(r.out.find("\"rfc2435\":true"), std::string::npos) << r.out;
}

TEST(ToolsProbe, DaemonsMpeg4StreamIsClean) { expect_clean(probe_stream(kMpeg4, 7), 1); }

TEST(ToolsProbe, DaemonsMuLawStreamIsClean) { expect_clean(probe_stream(kUlaw, 7), 1); }

TEST(ToolsProbe, DaemonsMetadataStreamIsClean) { expect_clean(probe_stream(kMetadata, 7), 1); }

TEST(ToolsProbe, InterleavedTcpStreamIsClean) {
  const auto r = probe_stream(kH264, 7, true);
  expect_clean(r, 1);
  EXPECT_EQ(json_number(r.out, "rtp_channel"), 0) << r.out;
  EXPECT_EQ(json_number(r.out, "rtcp_channel"), 1) << r.out;
}

TEST(ToolsProbe, MulticastStreamsAreJoinedAndClean) {
  for (const std::string group : {"239.1.2.3", "ff15::1:2"}) {
    SCOPED_TRACE(group);
    expect_clean(probe_stream(kH264, 7, false, group), 1);
  }
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
