// The network-state notice: the link going away while streaming is told to
// the event manager once, its return once, and a notice the event manager
// could not take is tried again on the next send.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine_runs.h"

namespace {

using namespace harness;
using namespace engine_runs;

constexpr char kEvmanLog[] = "/tmp/evman.log";
const std::string kDown = "{\"op\":\"netstate\",\"state\":1}";
const std::string kUp = "{\"op\":\"netstate\",\"state\":0}";

Process start_evman() {
  Process p({bin("mini-evman"), "--log", kEvmanLog});
  EXPECT_TRUE(wait_for_file("/tmp/localrec")) << p.err();
  return p;
}

size_t lines_equal(const std::string& line) {
  const auto lines = daemon_runs::log_lines(kEvmanLog);
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

} // namespace

TEST(EngineNetState, LinkDownIsNotifiedOnceAndItsReturnOnce) {
  Process evman = start_evman();
  Process feeder = daemon_runs::start_mpeg4_feeder();
  UdpReceiver receiver(kPeerIpv4, kDstPort);
  const pid_t pid = start_stream(mpeg4_args(kPeerIpv4), pid_path_for(kPeerIpv4));
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(receiver.receive(10s).has_value());

  ASSERT_TRUE(set_link_up(false));
  EXPECT_TRUE(daemon_runs::wait_log_line(kEvmanLog, kDown, 10s)) << syslog_dump();
  EXPECT_TRUE(wait_syslog_regex(unit_line("rtp", "notify network error to evman")));
  std::this_thread::sleep_for(2s); // about sixty more frames fail meanwhile
  EXPECT_EQ(syslog_count_regex("^rtp : [0-9]+ : sendto\\[[0-9]+:[^\\]]+\\]$"), 1u) << syslog_dump();
  EXPECT_EQ(lines_equal(kDown), 1u);
  EXPECT_TRUE(process_alive(pid)) << "the stream waits for the network";

  ASSERT_TRUE(set_link_up(true));
  EXPECT_TRUE(daemon_runs::wait_log_line(kEvmanLog, kUp, 10s)) << syslog_dump();
  EXPECT_TRUE(wait_syslog_regex(unit_line("rtp", "notify network recover to evman")));
  // Packets arrive again.
  receiver.receive_until_quiet(100ms, 1000, 2s);
  EXPECT_TRUE(receiver.receive(5s).has_value());
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(lines_equal(kDown), 1u);
  EXPECT_EQ(lines_equal(kUp), 1u);
  EXPECT_EQ(daemon_runs::log_lines(kEvmanLog).size(), 2u);
  EXPECT_EQ(stop_stream(pid), 0);
}

TEST(EngineNetState, UnreachableEventManagerIsTriedAgainOnTheNextSend) {
  Process feeder = daemon_runs::start_mpeg4_feeder();
  UdpReceiver receiver(kPeerIpv4, kDstPort);
  const pid_t pid = start_stream(mpeg4_args(kPeerIpv4), pid_path_for(kPeerIpv4));
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(receiver.receive(10s).has_value());

  // Nobody listens: every failing send logs and tries again.
  ASSERT_TRUE(set_link_up(false));
  EXPECT_EQ(wait_syslog_count("notify network error failed", 3, 10s), 3u) << syslog_dump();
  EXPECT_GE(syslog_count("sendto["), 3u);

  Process evman = start_evman();
  EXPECT_TRUE(daemon_runs::wait_log_line(kEvmanLog, kDown, 10s)) << syslog_dump();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(lines_equal(kDown), 1u) << "delivered once, then no more tries";

  // The recovery notice is retried the same way: evman gone, link back.
  evman.signal(SIGTERM);
  evman.wait(5s);
  ASSERT_TRUE(set_link_up(true));
  EXPECT_EQ(wait_syslog_count("notify network recover failed", 3, 10s), 3u) << syslog_dump();
  Process again = start_evman();
  EXPECT_TRUE(daemon_runs::wait_log_line(kEvmanLog, kUp, 10s)) << syslog_dump();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(lines_equal(kUp), 1u);
  EXPECT_EQ(stop_stream(pid), 0);
}
