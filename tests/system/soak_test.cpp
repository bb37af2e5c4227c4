// Fault and soak run: one H.264 stream at about 8 Mbit/s to the receiving
// host while its producer crashes, the link drops, the MTU changes, its
// peers restart or fall silent, junk arrives on the RTCP port, SIGUSR1
// comes in bursts and keep-alives lapse. The daemon must come through with
// flat memory and descriptors, one notice each way per outage, unbroken
// sequence numbers away from outages, and a clean end on SIGTERM.
//
// AVTD_SOAK_SECONDS sets the length (default: the short form for CI);
// scripts/soak.sh runs the long form.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "daemon_runs.h"
#include "engine_runs.h"
#include "harness/harness.h"
#include "soak/peers.h"
#include "soak/resources.h"
#include "soak/rtp_watch.h"
#include "soak/schedule.h"

namespace {

using namespace harness;
using namespace soak;

constexpr int kShortSeconds = 110;
constexpr uint16_t kDstPort = 5000;
constexpr uint16_t kSrcPort = 6000;
constexpr uint16_t kRtcpPort = kSrcPort + 1;
constexpr int kKeepAliveTimeout = 10;
constexpr auto kQuiet = 5s; // streaming undisturbed before the first fault
constexpr long kRssToleranceKib = 256;
// Under a sanitizer the resident memory is mostly the sanitizer's own
// (shadow, quarantine), so only the plain build checks it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kRssIsTheDaemons = false;
#else
constexpr bool kRssIsTheDaemons = true;
#endif
// A gap whose next packet arrives this long after the link came back still
// belongs to the outage: packets queued while it was down are lost.
constexpr auto kOutageGrace = 2s;
const std::string kDownNotice = "{\"op\":\"netstate\",\"state\":1}";
const std::string kUpNotice = "{\"op\":\"netstate\",\"state\":0}";

int soak_seconds() {
  const char* text = std::getenv("AVTD_SOAK_SECONDS");
  const int seconds = text != nullptr ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : kShortSeconds;
}

bool across_outage(const sequence_gap& gap, const std::vector<outage>& outages) {
  for (const auto& o : outages) {
    if (gap.at >= o.down && gap.at <= o.up + kOutageGrace) return true;
  }
  return false;
}

std::vector<std::string> route_lines() {
  std::vector<std::string> lines;
  for (const auto& r : ipv4_routes()) lines.push_back(r.device + " " + r.destination_text() + "/" + r.mask_text());
  return lines;
}

void print_sample(const char* when, const resource_sample& s) {
  std::printf("soak: %-17s RSS %6ld KiB, %3d descriptors\n", when, s.rss_kib, s.fds);
}

} // namespace

TEST(Soak, StreamComesThroughFaultsWithFlatResourcesAndEndsCleanly) {
  const int seconds = soak_seconds();
  const auto started = clock::now();
  const auto deadline = started + std::chrono::seconds(seconds);

  const auto routes_before = route_lines();
  peer_set peers(make_clip());
  rtp_watch watch(kDstPort);
  keep_alive_sender keep_alive(kRtcpPort);
  const RunResult launched = run({bin("avtd"), "--datatype=h264", "--host=198.51.100.2",
                                  "--dstport=" + std::to_string(kDstPort), "--srcport=" + std::to_string(kSrcPort),
                                  "--ttl=4", "--tos=0", "--device=eth0", "--protocol=rtp_udp", "--bitrate=8000",
                                  "--timeout=" + std::to_string(kKeepAliveTimeout)});
  ASSERT_EQ(launched.status.code(), 0) << launched.err;
  std::optional<int> session;
  daemon_runs::wait_until([&] { return (session = peers.registered_session()).has_value(); }, 10s);
  ASSERT_TRUE(session.has_value()) << syslog_dump();
  const std::string pid_path = "/var/run/avtd_" + std::to_string(*session) + ".pid";
  const auto pid = read_pid_file(pid_path, 10s);
  ASSERT_TRUE(pid.has_value()) << syslog_dump();
  ASSERT_TRUE(daemon_runs::wait_until([&] { return watch.packets() > 0; }, 10s)) << syslog_dump();

  resource_sampler sampler(*pid);
  fault_schedule faults(*pid, peers, keep_alive, kRtcpPort, kKeepAliveTimeout);
  const auto at_start = sample_resources(*pid).value_or(resource_sample{});

  // Warm-up: one quiet stretch and one round of every fault, so that what
  // the first of each allocates for good is counted before the baseline.
  const uint64_t quiet_from = watch.bytes();
  bool alive = faults.hold(kQuiet);
  const double undisturbed_mbit = static_cast<double>(watch.bytes() - quiet_from) * 8 / 1e6 /
                                  std::chrono::duration<double>(kQuiet).count();
  alive = alive && faults.run_round() && faults.hold(3s);
  const auto after_warm_up = sample_resources(*pid).value_or(resource_sample{});
  const auto warm_up_end = clock::now();
  const auto round_length = (warm_up_end - started) / 2;
  do {
    alive = alive && faults.run_round();
  } while (alive && clock::now() + round_length < deadline);
  alive = alive && faults.hold(3s);
  const auto at_end = sample_resources(*pid).value_or(resource_sample{});
  const auto peak = sampler.peak();

  // The clean end: status 0, and nothing of the stream left behind.
  ASSERT_TRUE(alive) << "the daemon died during round " << faults.rounds() << "\n" << syslog_dump();
  kill(*pid, SIGTERM);
  const ExitStatus status = wait_exit(*pid, 20s);
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(clock::now() - started);

  const size_t outages = faults.outages().size();
  size_t gaps_across_outages = 0;
  std::vector<sequence_gap> other_gaps;
  for (const auto& gap : watch.gaps()) {
    if (across_outage(gap, faults.outages())) {
      ++gaps_across_outages;
    } else {
      other_gaps.push_back(gap);
    }
  }

  std::printf("soak: %lld s, %d rounds, %zu outages survived\n", static_cast<long long>(elapsed.count()),
              faults.rounds(), outages);
  std::printf("soak: %llu RTP packets, %.1f Mbit/s undisturbed, %zu sequence gaps across outages\n",
              static_cast<unsigned long long>(watch.packets()), undisturbed_mbit, gaps_across_outages);
  print_sample("at start", at_start);
  print_sample("after warm-up", after_warm_up);
  print_sample("at end", at_end);
  print_sample("peak", peak);
  std::fflush(stdout);

  EXPECT_EQ(status.code(), 0) << status;
  EXPECT_FALSE(wait_for_file(pid_path, 0ms));
  EXPECT_EQ(route_lines(), routes_before) << proc_net_route();
  EXPECT_EQ(daemon_runs::count_log_line(kSessiondLog, "{\"op\":\"remove\",\"session_id\":" + std::to_string(*session) + "}"), 1u);

  if (kRssIsTheDaemons) {
    EXPECT_LE(at_end.rss_kib - after_warm_up.rss_kib, kRssToleranceKib);
  }
  EXPECT_EQ(at_end.fds, after_warm_up.fds);

  EXPECT_EQ(syslog_count_regex(unit_line("rtp", "notify network error to evman")), outages) << syslog_dump();
  EXPECT_EQ(syslog_count_regex(unit_line("rtp", "notify network recover to evman")), outages);
  EXPECT_EQ(daemon_runs::count_log_line(kEvmanLog, kDownNotice), outages);
  EXPECT_EQ(daemon_runs::count_log_line(kEvmanLog, kUpNotice), outages);

  EXPECT_GT(watch.packets(), 0u);
  EXPECT_EQ(watch.ssrc_changes(), 0u);
  for (const auto& gap : other_gaps) {
    ADD_FAILURE() << "sequence gap " << gap.last << " -> " << gap.next << " away from any outage, "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(gap.at - started).count()
                  << " ms into the run";
  }
  for (const char* end : {"keep alive timeout", "cannot send data", "cannot get_data", "data_src closed"}) {
    EXPECT_EQ(syslog_count(end), 0u) << end;
  }
}

// A link outage at report time used to make the RTCP thread spend its
// whole failure budget at once and end, after which the receiver's
// keep-alives went unheard and the stream timed out under a live receiver.
TEST(Soak, ReceiverKeepAlivesStillCountAfterALinkOutageAtReportTime) {
  UdpReceiver receiver(kPeerIpv4, engine_runs::kDstPort);
  engine_runs::mpeg4_stream stream(kPeerIpv4, {"--timeout=3"});
  ASSERT_GT(stream.pid, 0);
  ASSERT_TRUE(receiver.receive(10s).has_value());
  keep_alive_sender keep_alive(engine_runs::kSrcPort + 1);

  // Longer than the report interval; SIGUSR1 keeps the stream meanwhile.
  ASSERT_TRUE(set_link_up(false));
  for (int i = 0; i < 7 && process_alive(stream.pid); ++i) {
    kill(stream.pid, SIGUSR1);
    std::this_thread::sleep_for(1s);
  }
  ASSERT_TRUE(set_link_up(true));
  kill(stream.pid, SIGUSR1);

  // Now only the RTCP port hears from the receiver, for twice the time-out.
  for (int i = 0; i < 6 && process_alive(stream.pid); ++i) std::this_thread::sleep_for(1s);
  EXPECT_TRUE(process_alive(stream.pid)) << syslog_dump();
  EXPECT_EQ(syslog_count("keep alive timeout"), 0u);
  EXPECT_EQ(engine_runs::stop_stream(stream.pid), 0);
}
