// The receiver's keep-alive: a silent unicast receiver ends the stream after
// --timeout seconds; datagrams to the RTCP port or SIGUSR1 keep it running;
// multicast streams and --timeout=0 never time out.
#include <gtest/gtest.h>

#include <thread>

#include "engine_runs.h"
#include "soak/rtp_watch.h"

namespace {

using namespace harness;
using namespace engine_runs;

// Calls `poke` once a second for six seconds, twice the three-second
// time-out; false if the stream ended meanwhile.
template <typename Poke>
bool survives(pid_t pid, Poke poke) {
  for (int i = 0; i < 6 && process_alive(pid); ++i) {
    poke();
    std::this_thread::sleep_for(1s);
  }
  return process_alive(pid);
}

} // namespace

TEST(EngineKeepAlive, RtcpDatagramsOrSigusr1KeepAUnicastStreamAndSilenceEndsItWithStatusZero) {
  UdpReceiver receiver(kPeerIpv4, kDstPort);
  mpeg4_stream stream(kPeerIpv4, {"--timeout=3"});
  ASSERT_GT(stream.pid, 0);
  ASSERT_TRUE(receiver.receive(10s).has_value());

  {
    // The receiver's RTCP socket sends a byte to the daemon's RTCP port every second.
    soak::keep_alive_sender keep_alive(kSrcPort + 1);
    EXPECT_TRUE(survives(stream.pid, [] {})) << syslog_dump();
  }
  EXPECT_TRUE(survives(stream.pid, [&] { kill(stream.pid, SIGUSR1); })) << syslog_dump();
  EXPECT_EQ(syslog_count("keep alive timeout"), 0u);

  // Silence: elapsed seconds and time-out in the message, then a clean exit.
  EXPECT_TRUE(wait_syslog_regex(unit_line("rtp", "keep alive timeout [3 > 3] "), 10s)) << syslog_dump();
  EXPECT_EQ(wait_exit(stream.pid, 20s).code(), 0);
  EXPECT_FALSE(wait_for_file(daemon_pid_file(mpeg4_args(kPeerIpv4)), 0ms));
}

TEST(EngineKeepAlive, MulticastAndZeroTimeoutNeverTimeOut) {
  // One store for both runs: a daemon started while a new feeder replaces
  // the store could read the old one.
  Process feeder = daemon_runs::start_mpeg4_feeder();
  for (const auto& [host, timeout] : {std::pair{std::string("239.1.2.3"), "--timeout=3"},
                                      std::pair{std::string(kPeerIpv4), "--timeout=0"}}) {
    SCOPED_TRACE(host + " " + timeout);
    UdpReceiver receiver(host, kDstPort);
    const pid_t pid = daemon_runs::start_daemon(mpeg4_args(host, {timeout}));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(receiver.receive(10s).has_value());
    EXPECT_TRUE(survives(pid, [] {})) << syslog_dump();
    EXPECT_TRUE(receiver.receive(2s).has_value()) << "still streaming";
    EXPECT_EQ(stop_stream(pid), 0);
  }
  EXPECT_EQ(syslog_count("keep alive timeout"), 0u);
}
