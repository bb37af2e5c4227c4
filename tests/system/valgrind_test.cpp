// A short stream of every payload type under valgrind: the daemon, followed
// into the process it forks itself into, streams, ends on SIGTERM with
// status 0, and valgrind finds no memory error and nothing definitely or
// indirectly lost in either process.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "daemon_runs.h"
#include "harness/harness.h"
#include "media_peers.h"

namespace {

using namespace harness;

constexpr char kLogDir[] = "/tmp";
constexpr char kLogPrefix[] = "valgrind.";
// valgrind replaces the exit status with this when it found anything.
constexpr int kErrorStatus = 99;
// Under valgrind everything runs many times slower, the leak check at the
// end included.
constexpr auto kStartWait = 60s;
constexpr auto kEndWait = 120s;
constexpr size_t kPackets = 20;


std::vector<std::string> under_valgrind(const std::vector<std::string>& daemon) {
  std::vector<std::string> args = {"valgrind",
                                   "--leak-check=full",
                                   "--show-leak-kinds=definite,indirect",
                                   "--errors-for-leak-kinds=definite,indirect",
                                   "--error-exitcode=" + std::to_string(kErrorStatus),
                                   "--child-silent-after-fork=no",
                                   "--num-callers=30",
                                   std::string("--log-file=") + kLogDir + "/" + kLogPrefix + "%p.log"};
  args.insert(args.end(), daemon.begin(), daemon.end());
  return args;
}

// The valgrind report of every process that ran (the one started and the
// daemon it forked), by file name.
std::vector<std::pair<std::string, std::string>> valgrind_reports() {
  std::vector<std::pair<std::string, std::string>> found;
  for (const auto& entry : std::filesystem::directory_iterator(kLogDir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kLogPrefix, 0) == 0) found.emplace_back(name, read_file(entry.path().string()).value_or(""));
  }
  return found;
}

// Starts the daemon under valgrind, lets `kPackets` and a sender report
// arrive on the receiving host, stops it with SIGTERM and checks both
// valgrind reports.
void expect_clean_run(const std::vector<std::string>& daemon, const std::string& receiver = kPeerIpv4) {
  UdpReceiver rx(receiver, static_cast<uint16_t>(media_sys::kStreamPort));
  UdpReceiver reports_rx(receiver, static_cast<uint16_t>(media_sys::kStreamPort + 1));
  const RunResult launched = run(under_valgrind(daemon), kStartWait);
  ASSERT_EQ(launched.status.code(), 0) << launched.err << syslog_dump();
  const auto pid = read_pid_file(daemon_pid_file(daemon), kStartWait);
  ASSERT_TRUE(pid.has_value()) << syslog_dump();
  // Packets arriving also mean the threads run: the signal takes the
  // ordinary shutdown. A sender report (after five seconds) brings the RTCP
  // thread's and the bit-rate report's paths into the run.
  EXPECT_EQ(rx.receive_n(kPackets, kStartWait).size(), kPackets) << syslog_dump();
  EXPECT_TRUE(reports_rx.receive(kStartWait).has_value()) << "no sender report";
  kill(*pid, SIGTERM);
  EXPECT_EQ(wait_exit(*pid, kEndWait).code(), 0) << "status " << kErrorStatus << ": valgrind found errors";
  EXPECT_TRUE(wait_syslog("catch signal SIGTERM", 5s));

  const auto found = valgrind_reports();
  EXPECT_EQ(found.size(), 2u) << "the process started and the daemon";
  for (const auto& [name, text] : found) {
    EXPECT_NE(text.find("ERROR SUMMARY: 0 errors"), std::string::npos) << name << "\n" << text;
  }
}

struct media_run {
  const char* name;
  std::string codec; // the feeder's codec and the daemon's datatype
  std::string clip;  // none: metadata from mini-eventd
  std::vector<std::string> feed;
  std::string ready_file; // the peer is ready once this holds ready_text
  std::string ready_text;
  std::vector<std::string> daemon;
};

// Test names (and CTest's) show the run by its name alone.
void PrintTo(const media_run& run, std::ostream* out) { *out << run.name; }

class ValgrindStream : public ::testing::TestWithParam<media_run> {};

TEST_P(ValgrindStream, RunsAndEndsWithoutMemoryErrorsOrLeaks) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
  const media_run& m = GetParam();
  Process sessiond = media_sys::start_sessiond();
  auto feed = m.feed;
  feed.insert(feed.end(), {"--loop", "--keep"});
  Process peer = m.clip.empty()
                     ? Process({bin("mini-eventd"), "--interval-ms", "100", "--log", "/tmp/eventd.log"})
                     : media_sys::start_feeder(m.codec, media_sys::clip(m.clip), feed);
  ASSERT_TRUE(daemon_runs::wait_until([&] {
    return read_file(m.ready_file).value_or("").find(m.ready_text) != std::string::npos;
  })) << peer.err();
  expect_clean_run(media_sys::daemon_args(m.codec, kPeerIpv4, m.daemon));
}

INSTANTIATE_TEST_SUITE_P(
    Of, ValgrindStream,
    ::testing::Values(
        media_run{"H264", "h264", "h264.264", {"--fps", "60", "--rate-code", "30"}, "/tmp/shm0", "", {}},
        media_run{"JpegRfc2435", "jpeg", "mjpeg_custom.mjpeg", {"--fps", "60", "--rate-code", "30"}, "/tmp/shm0",
                  "", {"--enable-rfc2435", "--framerate=30"}},
        media_run{"Mpeg4", "mpeg4", "mpeg4.m4v", {"--fps", "60", "--rate-code", "30"}, "/tmp/shm0", "", {}},
        media_run{"Ulaw", "ulaw", "tone.ulaw", {}, "/tmp/shm4", "", {}},
        media_run{"Metadata", "onvif_motion", "", {}, "/tmp/onvif_ipc_sockd", "00000200=", {"--session_id=5"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
