// The daemon's life as its operators see it: exit statuses, refusals and
// the usage text (every program's too), pid files, termination signals and
// the keep-alive signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_runs.h"
#include "harness/harness.h"

namespace {

using namespace harness;
using namespace daemon_runs;

// A stream thread still attaching to a missing frame store finishes its
// retries (about ten seconds) before it can be joined; a metadata stream
// without an event service its open retries (about twenty).
constexpr auto kShutdownWait = 20s;
constexpr auto kMetadataShutdownWait = 40s;

// Starts a UDP stream that forks away and claims `pid_path`, and waits
// until its threads run (the RTCP thread has bound the port after the
// stream's): a termination signal is then the first of a running stream.
pid_t start_stream(const std::vector<std::string>& args, const std::string& pid_path, int session_id) {
  const RunResult launched = launch(args);
  EXPECT_EQ(launched.status.code(), 0) << launched.err;
  const auto pid = read_pid_file(pid_path, 10s);
  EXPECT_TRUE(pid.has_value()) << pid_path << " never appeared";
  EXPECT_TRUE(wait_udp_port_bound((session_id + 512) * 2 + 1, 10s)) << pid_path;
  return pid.value_or(-1);
}

// The usage text, as --help shows it.
std::string usage_text() { return run({bin("avtd"), "--help"}).err; }

TEST(Lifecycle, NoArgumentsShowsUsageAndExitsOne) {
  const RunResult r = run({bin("avtd")});
  EXPECT_EQ(r.status.code(), 1);
  EXPECT_EQ(r.err, usage_text());
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(wait_syslog_regex(unit_line("main", "invalid argument [argc=1]")));
}

// Whatever ends a start is said on standard error, where someone trying the
// daemon by hand looks: refusals of the command line always, the rest with
// --foreground, which mirrors syslog there and exits with the real status.
TEST(Lifecycle, EveryRefusalSaysWhyOnStandardErrorWithItsStatus) {
  std::vector<std::string> no_ttl = stream_args();
  no_ttl.erase(std::find(no_ttl.begin(), no_ttl.end(), "--ttl=4"));
  const auto with = [](std::vector<std::string> extra) { return stream_args(std::move(extra)); };
  struct row {
    std::vector<std::string> args;
    int status;
    bool usage;
    std::vector<std::string> err; // lines standard error holds besides the usage text
    std::string syslog;           // regex, when the refusal has a line of its own
  };
  const std::vector<row> rows = {
      {{bin("avtd"), "--help"}, 2, true, {}, regex_escape("invalid argument[" + bin("avtd") + " --help ]")},
      {no_ttl, 2, true, {"avtd: required option missing: --ttl"}, ""},
      {with({"-t", "5"}), 2, true, {"avtd: short options are not accepted (-t); every option is a long one"}, ""},
      {with({"--bogus"}), 2, true, {"avtd: unknown option --bogus"}, ""},
      {with({"--dstport=65535"}), 2, true, {"avtd: invalid dst port [65535]: 0..65534"},
       unit_line("main", "invalid dst port [65535]")},
      {with({"--foreground", "--host=camera.local"}), 2, false,
       {"avtd: invalid host [camera.local]: not an IPv4 or IPv6 address (host names are not looked up)"},
       unit_line("main", "invalid host [camera.local]")},
      {with({"--foreground", "--device=eth9"}), 2, true, {"avtd: invalid device [eth9]: no such interface"},
       "invalid argument\\[.* --device=eth9 \\]$"},
      {with({"--protocol=rtp_tcp"}), 2, false, {"avtd: --protocol=rtp_tcp needs --interleaved=A-B"},
       unit_line("main", "too few option(rtp_tcp)")},
      // Past the command line, only --foreground shows it.
      {with({"--foreground"}), 5, false,
       {"avtd: session : ", "add_sesion error",
        "avtd: the session daemon on /tmp/session did not register the stream"},
       unit_line("main", "add_session error")},
      {with({"--foreground", "--session_id=1"}), 8, false,
       {"create_pidfile error(", "avtd: cannot claim the pid file /var/run/avtd_1.pid"}, ""},
      {with({"--foreground", "--session_id=2", "--datatype=mpeg4"}), 0, false,
       {"shm_attach error[No such file or directory](channel=0)", "open data_src error"}, ""},
  };
  const std::string usage = usage_text();
  ASSERT_EQ(usage.rfind("usage: " + bin("avtd") + " --datatype=TYPE", 0), 0u) << usage;
  // A pid file path that cannot be written: a directory stands there.
  ASSERT_EQ(mkdir("/var/run/avtd_1.pid", 0755), 0);
  for (const row& r : rows) {
    SCOPED_TRACE(r.args.back());
    const size_t mark = syslog_mark();
    const RunResult got = run(r.args, 30s);
    EXPECT_EQ(got.status.code(), r.status) << got.err;
    EXPECT_EQ(got.out, r.args == no_ttl ? "too few option\n" : "");
    EXPECT_EQ(got.err.rfind(usage, 0) == 0, r.usage) << got.err;
    for (const std::string& line : r.err) EXPECT_NE(got.err.find(line), std::string::npos) << line << "\n" << got.err;
    if (r.err.empty()) {
      EXPECT_EQ(got.err, usage);
    }
    if (!r.syslog.empty()) {
      EXPECT_TRUE(wait_syslog_regex(r.syslog, 5s, mark)) << r.syslog;
    }
  }
}

// The usage text lists exactly the options the parser takes, as the
// README's table does; every program of the build answers --help with its
// usage on standard output and an unknown option with one line and the
// usage on standard error (the daemon by its own rules: usage on standard
// error, status 2).
TEST(Lifecycle, UsageTextAndReadmeListTheParsersOptionsAndEveryProgramAnswersHelp) {
  const std::string usage = usage_text();
  std::set<std::string> listed;
  const std::regex option_line("^  --([a-z0-9_-]+)");
  std::istringstream lines(usage);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, option_line)) listed.insert(m[1]);
  }
  std::set<std::string> documented;
  std::istringstream readme(read_file(source_path("README.md")).value_or(""));
  const std::regex table_row("^\\| `--([a-z0-9_-]+)` \\|");
  for (std::string line; std::getline(readme, line);) {
    std::smatch m;
    if (std::regex_search(line, m, table_row)) documented.insert(m[1]);
  }
  EXPECT_EQ(listed, documented);
  EXPECT_GE(listed.size(), 20u);
  // The parser knows every listed name, and no name that starts otherwise.
  for (const std::string& name : listed) {
    EXPECT_EQ(run({bin("avtd"), "--" + name}).err.find("unknown option"), std::string::npos) << name;
  }
  for (char c = 'a'; c <= 'z'; ++c) {
    const bool any = std::any_of(listed.begin(), listed.end(), [c](const std::string& n) { return n[0] == c; });
    EXPECT_EQ(run({bin("avtd"), std::string("--") + c}).err.find("avtd: unknown option") == std::string::npos, any)
        << c;
  }

  // Programs are the executables without '_' in their names (tests and
  // benchmark helpers have one).
  size_t programs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(bin(""))) {
    const std::string name = entry.path().filename();
    if (name.find('_') != std::string::npos || access(entry.path().c_str(), X_OK) != 0) continue;
    SCOPED_TRACE(name);
    ++programs;
    const RunResult help = run({entry.path(), "--help"});
    const RunResult unknown = run({entry.path(), "--no-such-option"});
    EXPECT_EQ(unknown.status.code(), 2);
    EXPECT_EQ(unknown.out, "");
    if (name == "avtd") {
      EXPECT_EQ(help.status.code(), 2);
      EXPECT_EQ(help.out, "");
      EXPECT_EQ(unknown.err, usage + "avtd: unknown option --no-such-option\n");
      continue;
    }
    EXPECT_EQ(help.status.code(), 0);
    EXPECT_EQ(help.out.rfind("usage: " + name + " ", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(unknown.err.rfind(name + ": ", 0), 0u) << unknown.err;
    EXPECT_NE(unknown.err.find("--no-such-option\n" + help.out), std::string::npos) << unknown.err;
  }
  EXPECT_GE(programs, 10u);
}

// Session 7 also shows where the ports come from: (7 + 512) * 2 sends RTP,
// the next port RTCP (start_stream waits until it is bound).
TEST(Lifecycle, TermSignalEndsWithStatusZeroAndCleansUp) {
  Process sessiond = start_sessiond("/tmp/sessiond.log");
  Process feeder = start_mpeg4_feeder();
  UdpReceiver receiver(kPeerIpv4, 5000);
  const pid_t pid = start_stream(stream_args({"--datatype=mpeg4", "--session_id=7"}), "/var/run/avtd_7.pid", 7);
  ASSERT_GT(pid, 0);
  const auto packet = receiver.receive(10s);
  ASSERT_TRUE(packet.has_value()) << "the stream runs";
  EXPECT_EQ(packet->from, kLocalIpv4);
  EXPECT_EQ(packet->from_port, 1038);

  const size_t mark = syslog_mark();
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_TRUE(wait_syslog("catch signal SIGTERM", 5s, mark));
  const ExitStatus status = wait_exit(pid, kShutdownWait);
  EXPECT_EQ(status.code(), 0) << status;
  EXPECT_FALSE(wait_for_file("/var/run/avtd_7.pid", 0ms));
  EXPECT_TRUE(wait_log_line("/tmp/sessiond.log", R"({"op":"remove","session_id":7})"));
  EXPECT_EQ(syslog_count("TERM signal is already received."), 0u);
}

// Status 1 with its message since `mark`, and the pid file and session gone.
void expect_exit_one_and_cleanup(pid_t pid, int session_id, size_t mark) {
  const ExitStatus status = wait_exit(pid, kShutdownWait);
  EXPECT_EQ(status.code(), 1) << status;
  EXPECT_TRUE(wait_syslog_regex(unit_line("main", "TERM signal is already received."), 5s, mark));
  EXPECT_FALSE(wait_for_file("/var/run/avtd_" + std::to_string(session_id) + ".pid", 0ms));
  EXPECT_TRUE(wait_log_line("/tmp/sessiond.log", R"({"op":"remove","session_id":)" + std::to_string(session_id) + "}"));
}

// Two different termination signals held pending while the daemon is
// stopped arrive back to back when it continues: whichever is handled
// second finds the shutdown under way. Then the plain case: a second
// SIGTERM while the stream thread (still in its frame-store attach
// retries, some ten seconds) is being joined.
TEST(Lifecycle, SecondTermDuringShutdownExitsWithOne) {
  Process sessiond = start_sessiond("/tmp/sessiond.log");
  const pid_t pid = start_stream(stream_args(), "/var/run/avtd_1.pid", 1);
  ASSERT_GT(pid, 0);
  size_t mark = syslog_mark();
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  ASSERT_EQ(kill(pid, SIGINT), 0);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  ASSERT_EQ(kill(pid, SIGCONT), 0);
  expect_exit_one_and_cleanup(pid, 1, mark);

  const pid_t second = start_stream(stream_args(), "/var/run/avtd_2.pid", 2);
  ASSERT_GT(second, 0);
  mark = syslog_mark();
  ASSERT_EQ(kill(second, SIGTERM), 0);
  ASSERT_TRUE(wait_syslog("catch signal SIGTERM", 5s, mark));
  ASSERT_EQ(kill(second, SIGTERM), 0);
  expect_exit_one_and_cleanup(second, 2, mark);
}

// Before the threads run, a termination signal takes the exit-1 path at
// once; the pid file already written is removed with the session.
TEST(Lifecycle, TermSignalBeforeThreadsStartExitsWithOne) {
  // rtp_tcp waits for a connection nobody offers: start-up pauses there.
  const size_t mark = syslog_mark();
  ASSERT_EQ(launch(stream_args({"--protocol=rtp_tcp", "--interleaved=0-1", "--session_id=3"})).status.code(), 0);
  const pid_t pid = read_pid_file("/var/run/avtd_3.pid").value_or(-1);
  Process sessiond = start_sessiond("/tmp/sessiond.log");
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  expect_exit_one_and_cleanup(pid, 3, mark);
  EXPECT_EQ(syslog_count("recv socket error"), 0u);
}

// A stop that lands after the pid file is created but before the pid is in
// it still takes the file away: an empty one would block every later start.
TEST(Lifecycle, TermWhileThePidFileIsWrittenLeavesNone) {
  Process sessiond = start_sessiond("/tmp/sessiond.log");
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  Process daemon(stream_args({"--foreground", "--session_id=4"}),
                 {.env = {"LD_PRELOAD=" + bin("../lib/kernel_faults.so"), "AVTD_TERM_AFTER_CREATE=/var/run/avtd_4.pid",
                          // The preload comes before a sanitizer build's runtime.
                          std::string("ASAN_OPTIONS=") + (sanitizer ? sanitizer : "") + ":verify_asan_link_order=0"}});
  EXPECT_EQ(daemon.wait(kShutdownWait).code(), 1) << daemon.err();
  EXPECT_FALSE(wait_for_file("/var/run/avtd_4.pid", 0ms));
}

// SIGUSR1 only keeps the stream alive; a termination signal sent after it
// is still the first one. SIGQUIT and SIGINT end a stream as SIGTERM does.
TEST(Lifecycle, KeepAliveSignalIsSilentAndQuitOrInterruptEndCleanly) {
  Process feeder = start_mpeg4_feeder();
  const pid_t quit = start_stream(stream_args({"--datatype=mpeg4", "--session_id=21", "--timeout=0"}),
                                  "/var/run/avtd_21.pid", 21);
  const pid_t interrupt =
      start_stream(stream_args({"--datatype=mpeg4", "--session_id=22"}), "/var/run/avtd_22.pid", 22);
  ASSERT_GT(quit, 0);
  ASSERT_GT(interrupt, 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(kill(quit, SIGUSR1), 0);
  kill(quit, SIGQUIT);
  EXPECT_TRUE(wait_syslog("catch signal SIGQUIT"));
  EXPECT_EQ(wait_exit(quit, kShutdownWait).code(), 0);
  kill(interrupt, SIGINT);
  EXPECT_TRUE(wait_syslog("catch signal SIGINT"));
  EXPECT_EQ(wait_exit(interrupt, kShutdownWait).code(), 0);
  EXPECT_EQ(syslog_count_regex("catch signal SIGUSR1|TERM signal is already"), 0u);
}

TEST(Lifecycle, PidFileNamesFollowDestinationAndPayload) {
  struct stream {
    std::vector<std::string> args;
    const char* pid_file;
    int session_id;
  };
  const std::vector<stream> streams = {
      {{"--datatype=jpeg", "--host=198.51.100.2", "--session_id=12"}, "/var/run/avtd_12.pid", 12},
      {{"--datatype=h264(2)", "--host=239.1.1.1", "--session_id=40"}, "/var/run/avtd_channel2.pid", 40},
      {{"--datatype=ulaw", "--host=239.1.1.2", "--session_id=41"}, "/var/run/avtd_channel3.pid", 41},
      {{"--datatype=onvif_motion", "--host=198.51.100.2", "--session_id=5"}, "/var/run/avtd_metadata_5.pid", 5},
      // The longest name; its RTCP port 7001 is the one id 2988 derives.
      {{"--datatype=onvif_motion", "--host=198.51.100.2", "--session_id=-2147483648", "--srcport=7000"},
       "/var/run/avtd_metadata_-2147483648.pid", 2988},
      {{"--datatype=onvif_motion", "--host=ff0e::1", "--session_id=42"}, "/var/run/avtd_channel4.pid", 42},
      {{"--datatype=mpeg4(1)", "--host=ff15::2", "--session_id=43"}, "/var/run/avtd_channel1.pid", 43},
  };
  // All at once (distinct session ids keep their ports apart), so that the
  // slow ends overlap.
  std::vector<pid_t> pids;
  for (const stream& s : streams) {
    // Later options win over the defaults' datatype and host.
    const pid_t pid = start_stream(stream_args(s.args), s.pid_file, s.session_id);
    EXPECT_GT(pid, 0) << s.pid_file;
    EXPECT_EQ(read_file(s.pid_file).value_or(""), std::to_string(pid) + "\n");
    pids.push_back(pid);
  }
  for (const pid_t pid : pids) {
    if (pid > 0) kill(pid, SIGTERM);
  }
  for (size_t i = 0; i < pids.size(); ++i) {
    if (pids[i] > 0) {
      EXPECT_EQ(wait_exit(pids[i], kMetadataShutdownWait).code(), 0) << streams[i].pid_file;
      EXPECT_FALSE(wait_for_file(streams[i].pid_file, 0ms)) << streams[i].pid_file;
    }
  }
}

TEST(Lifecycle, StalePidFileIsReplaced) {
  // A process id that no longer names a process.
  Process gone({"true"});
  const pid_t dead = gone.pid();
  gone.wait();
  write_file("/var/run/avtd_12.pid", std::to_string(dead) + "\n");

  Process feeder = start_mpeg4_feeder();
  const RunResult launched = launch(stream_args({"--datatype=mpeg4", "--session_id=12"}));
  ASSERT_EQ(launched.status.code(), 0);
  const std::string stale = std::to_string(dead) + "\n";
  ASSERT_TRUE(wait_until([&] { return read_file("/var/run/avtd_12.pid").value_or(stale) != stale; }))
      << "the stale pid file was never replaced";
  const pid_t pid = read_pid_file("/var/run/avtd_12.pid").value_or(-1);
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(process_alive(pid));
  EXPECT_TRUE(wait_udp_port_bound((12 + 512) * 2 + 1, 10s));
  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(pid, kShutdownWait).code(), 0);
}

// Start-ups that end after the daemon has forked away: each with its
// status and message, and the session removed.
TEST(Lifecycle, StartUpEndingAfterTheForkGivesItsStatusAndRemovesTheSession) {
  struct row {
    std::optional<std::string> pid_file; // written to the pid file first
    std::vector<std::string> args;
    int session_id;
    int code;
    std::vector<std::string> messages; // patterns, in any order
  };
  const std::string mine = std::to_string(getpid()) + "\n";
  const std::vector<row> rows = {
      {mine, {}, 12, 0, {unit_line("main", "process is existed")}},
      {"0\n", {}, 12, 8, {func_line("main", "main", ": create_pidfile error(-2)")}},
      {"", {}, 12, 8,
       {"create_pidfile line [0-9]+ in main: fread error\\(", func_line("main", "main", ": create_pidfile error(-1)")}},
      // (32256 + 512) * 2 = 65536: no room for the RTCP port above it.
      {std::nullopt, {}, 32256, 7, {unit_line("main", "rtcp_thread init error")}},
      // Nobody offers the connection to stream on.
      {std::nullopt, {"--protocol=rtp_tcp", "--interleaved=0-1"}, 3, 0,
       {unit_line("main", "recv socket error"), unit_line("main", "get rtp/rtcp over tcp socket")}},
  };
  Process sessiond = start_sessiond("/tmp/sessiond.log");
  for (const row& r : rows) {
    const std::string pid_path = "/var/run/avtd_" + std::to_string(r.session_id) + ".pid";
    const std::string removal = R"({"op":"remove","session_id":)" + std::to_string(r.session_id) + "}";
    SCOPED_TRACE(r.messages[0]);
    if (r.pid_file) write_file(pid_path, *r.pid_file);
    const auto removals = [&] {
      const auto lines = log_lines("/tmp/sessiond.log");
      return std::count(lines.begin(), lines.end(), removal);
    };
    const auto removed_before = removals();
    const size_t mark = syslog_mark();
    std::vector<std::string> args = r.args;
    args.push_back("--session_id=" + std::to_string(r.session_id));
    ASSERT_EQ(launch(stream_args(args)).status.code(), 0);
    EXPECT_EQ(wait_forked_exit({sessiond.pid()}).code(), r.code);
    for (const std::string& m : r.messages) EXPECT_TRUE(wait_syslog_regex(m, 5s, mark)) << m;
    EXPECT_TRUE(wait_until([&] { return removals() == removed_before + 1; }));
    if (r.pid_file && r.code == 0) {
      EXPECT_EQ(read_file(pid_path).value_or(""), mine) << "the owner's file stays";
    } else if (!r.pid_file) {
      EXPECT_FALSE(wait_for_file(pid_path, 0ms));
    }
  }
}

} // namespace
