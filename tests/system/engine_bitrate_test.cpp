// The measured bit rate reaches the session daemon about every five seconds.
#include <gtest/gtest.h>

#include <regex>

#include "engine_runs.h"

namespace {

using namespace harness;
using namespace engine_runs;

constexpr char kSessiondLog[] = "/tmp/sessiond.log";

std::vector<long> reported_rates() {
  static const std::regex update(R"(^\{"op":"update","session_id":1,"bitrate":([0-9]+)\}$)");
  std::vector<long> rates;
  for (const std::string& line : daemon_runs::log_lines(kSessiondLog)) {
    std::smatch m;
    if (std::regex_match(line, m, update)) rates.push_back(std::stol(m[1]));
  }
  return rates;
}

} // namespace

TEST(EngineBitrate, SessionDaemonSeesTheMeasuredKbpsAboutEveryFiveSeconds) {
  Process sessiond = daemon_runs::start_sessiond(kSessiondLog);
  Process feeder = daemon_runs::start_mpeg4_feeder();
  UdpReceiver receiver(kPeerIpv4, kDstPort);
  // Registered by the session daemon (id 1), source port from the id.
  std::vector<std::string> args = mpeg4_args(kPeerIpv4);
  args.erase(std::remove(args.begin(), args.end(), "--session_id=2"), args.end());
  const pid_t pid = start_stream(args, "/var/run/avtd_1.pid");
  ASSERT_GT(pid, 0);

  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(daemon_runs::wait_until([] { return reported_rates().size() >= 1; }, 10s)) << syslog_dump();
  const auto one = std::chrono::steady_clock::now();
  ASSERT_TRUE(daemon_runs::wait_until([] { return reported_rates().size() >= 2; }, 10s)) << syslog_dump();
  const auto two = std::chrono::steady_clock::now();
  EXPECT_EQ(stop_stream(pid), 0);

  EXPECT_GE(one - first, 4s) << "the first window closes after five seconds";
  EXPECT_GE(two - one, 4s);
  // 30 units a second of 3 packets, 3036 bytes on the wire: 30 * 3036 * 8 / 1000
  // = about 729 kbit/s; the feeder's pacing and the window edges move it a little.
  for (const long kbps : reported_rates()) {
    EXPECT_GT(kbps, 550);
    EXPECT_LT(kbps, 900);
  }
}
