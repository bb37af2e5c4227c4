// The network-state notice: the link going away while streaming is told to
// the event manager once, its return once, and a notice the event manager
// could not take is tried again on the next send.
#include <gtest/gtest.h>

#include "engine_runs.h"

namespace {

using namespace harness;
using namespace engine_runs;

constexpr char kEvmanLog[] = "/tmp/evman.log";
const std::string kDown = "{\"op\":\"netstate\",\"state\":1}";
const std::string kUp = "{\"op\":\"netstate\",\"state\":0}";

} // namespace

TEST(EngineNetState, LinkDownIsNotifiedOnceAndItsReturnOnce) {
  Process evman = daemon_runs::start_evman(kEvmanLog);
  UdpReceiver receiver(kPeerIpv4, kDstPort);
  mpeg4_stream stream(kPeerIpv4);
  ASSERT_GT(stream.pid, 0);
  ASSERT_TRUE(receiver.receive(10s).has_value());

  ASSERT_TRUE(set_link_up(false));
  EXPECT_TRUE(daemon_runs::wait_log_line(kEvmanLog, kDown, 10s)) << syslog_dump();
  EXPECT_TRUE(wait_syslog_regex(unit_line("rtp", "notify network error to evman")));
  std::this_thread::sleep_for(2s); // about sixty more frames fail meanwhile
  EXPECT_EQ(syslog_count_regex("^rtp : [0-9]+ : sendto\\[[0-9]+:[^\\]]+\\]$"), 1u) << syslog_dump();
  EXPECT_TRUE(process_alive(stream.pid)) << "the stream waits for the network";

  ASSERT_TRUE(set_link_up(true));
  EXPECT_TRUE(daemon_runs::wait_log_line(kEvmanLog, kUp, 10s)) << syslog_dump();
  EXPECT_TRUE(wait_syslog_regex(unit_line("rtp", "notify network recover to evman")));
  receiver.receive_until_quiet(100ms, 1000, 2s);
  EXPECT_TRUE(receiver.receive(5s).has_value()) << "packets arrive again";
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(daemon_runs::log_lines(kEvmanLog), (std::vector<std::string>{kDown, kUp}));
  EXPECT_EQ(stop_stream(stream.pid), 0);
}

TEST(EngineNetState, UnreachableEventManagerIsTriedAgainOnTheNextSend) {
  UdpReceiver receiver(kPeerIpv4, kDstPort);
  mpeg4_stream stream(kPeerIpv4);
  ASSERT_GT(stream.pid, 0);
  ASSERT_TRUE(receiver.receive(10s).has_value());

  // Nobody listens: every failing send logs and tries again, the recovery
  // notice likewise; once delivered, answered or not, a notice is not sent
  // again.
  for (const auto& [up, failed, notice] : {std::tuple{false, "notify network error failed", kDown},
                                           std::tuple{true, "notify network recover failed", kUp}}) {
    SCOPED_TRACE(notice);
    ASSERT_TRUE(set_link_up(up));
    EXPECT_GE(wait_syslog_count(failed, 3, 10s), 3u) << syslog_dump();
    Process evman = daemon_runs::start_evman(kEvmanLog, up ? std::vector<std::string>{"--no-reply"} : std::vector<std::string>{});
    EXPECT_TRUE(daemon_runs::wait_log_line(kEvmanLog, notice, 10s)) << syslog_dump();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(daemon_runs::count_log_line(kEvmanLog, notice), 1u);
    evman.signal(SIGTERM);
    evman.wait(5s);
  }
  EXPECT_GE(syslog_count("sendto["), 3u);
  EXPECT_EQ(stop_stream(stream.pid), 0);
}
