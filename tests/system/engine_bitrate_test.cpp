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
  UdpReceiver receiver(kPeerIpv4, kDstPort);
  Process feeder = daemon_runs::start_mpeg4_feeder();
  // Registered by the session daemon (id 1), source port from the id.
  std::vector<std::string> args = mpeg4_args(kPeerIpv4);
  std::erase(args, "--session_id=2");
  const pid_t pid = daemon_runs::start_daemon(args);
  ASSERT_GT(pid, 0);

  std::vector<std::chrono::steady_clock::time_point> updates{std::chrono::steady_clock::now()};
  for (size_t n = 1; n <= 2; ++n) {
    ASSERT_TRUE(daemon_runs::wait_until([n] { return reported_rates().size() >= n; }, 10s)) << syslog_dump();
    updates.push_back(std::chrono::steady_clock::now());
    EXPECT_GE(updates[n] - updates[n - 1], 4s) << "one window is five seconds";
  }
  EXPECT_EQ(stop_stream(pid), 0);
  // 30 units a second of 3 packets, 3036 bytes on the wire: 30 * 3036 * 8 / 1000
  // = about 729 kbit/s; the feeder's pacing and the window edges move it a little.
  for (const long kbps : reported_rates()) {
    EXPECT_GT(kbps, 550);
    EXPECT_LT(kbps, 900);
  }
}
