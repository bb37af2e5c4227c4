// Starting the stream daemon in the sandbox and following it after it has
// forked away: shared by the daemon's system tests.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"

namespace daemon_runs {

using namespace std::chrono_literals;
using harness::ExitStatus;
using toolkit::wait_until;

// A complete unicast H.264 command line to the receiving host.
inline std::vector<std::string> stream_args(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {harness::bin("avtd"), "--datatype=h264", "--host=198.51.100.2",
                                   "--dstport=5000",     "--ttl=4",         "--tos=0",
                                   "--device=eth0",      "--protocol=rtp_udp"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// Runs the daemon's command line; the process we start returns as soon as
// it has forked the daemon (or exits itself on a refused command line).
inline harness::RunResult launch(const std::vector<std::string>& args) { return harness::run(args, 10s); }

// Launches the daemon and returns its pid once the pid file its command line
// names holds it (-1, with a failure, when it never does). Without
// --session_id the session daemon's `registered_session` names it.
inline pid_t start_daemon(const std::vector<std::string>& args, int registered_session = 1) {
  const harness::RunResult launched = launch(args);
  EXPECT_EQ(launched.status.code(), 0) << launched.out << launched.err;
  const std::string path = harness::daemon_pid_file(args, registered_session);
  const auto pid = harness::read_pid_file(path, 10s);
  EXPECT_TRUE(pid.has_value()) << path << " never appeared\n" << harness::syslog_dump();
  return pid.value_or(-1);
}

// SIGTERM, then the daemon's exit status.
inline ExitStatus stop_daemon(pid_t pid, std::chrono::milliseconds timeout = 20s) {
  if (pid > 0) kill(pid, SIGTERM);
  return harness::wait_exit(pid, timeout);
}

// The exit of the daemon that forked away from a launched process: as
// child subreaper we inherit it, so the first child that ends and is not
// one of `others` is it.
inline ExitStatus wait_forked_exit(std::vector<pid_t> others = {}, std::chrono::milliseconds timeout = 15s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    siginfo_t info{};
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0 &&
        std::find(others.begin(), others.end(), info.si_pid) == others.end()) {
      return harness::wait_exit(info.si_pid, 1s);
    }
    std::this_thread::sleep_for(20ms);
  }
  ExitStatus status;
  status.kind = ExitStatus::Kind::timed_out;
  return status;
}

// Lines of a JSON-lines log written by a peer.
inline std::vector<std::string> log_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// How many lines of the peer's log are exactly `line`.
inline size_t count_log_line(const std::string& path, const std::string& line) {
  const auto lines = log_lines(path);
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Waits (bounded) until the peer's log holds `line`.
inline bool wait_log_line(const std::string& path, const std::string& line, std::chrono::milliseconds timeout = 5s) {
  return wait_until(
      [&] {
        const auto lines = log_lines(path);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
      },
      timeout);
}

// A stand-in daemon, `name --log LOG EXTRA...`; waits until it listens on `socket`.
inline harness::Process start_peer(const char* name, const std::string& log, const char* socket,
                                   std::vector<std::string> extra) {
  std::vector<std::string> args = {harness::bin(name), "--log", log};
  args.insert(args.end(), extra.begin(), extra.end());
  harness::Process p(args);
  EXPECT_TRUE(harness::wait_for_file(socket)) << p.err();
  return p;
}

inline harness::Process start_sessiond(const std::string& log, std::vector<std::string> extra = {}) {
  return start_peer("mini-sessiond", log, "/tmp/session", std::move(extra));
}

inline harness::Process start_evman(const std::string& log, std::vector<std::string> extra = {}) {
  return start_peer("mini-evman", log, "/tmp/localrec", std::move(extra));
}

// mini-eventd logging to "/tmp/eventd.log" with `extra` options; waits until
// its address file names the event service endpoint.
// `as_user`: the service runs under another uid, so its address file is
// not the daemon's.
inline harness::Process start_eventd(std::vector<std::string> extra = {}, bool as_user = false) {
  std::vector<std::string> args = {harness::bin("mini-eventd"), "--log", "/tmp/eventd.log"};
  if (as_user) args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  args.insert(args.end(), extra.begin(), extra.end());
  harness::Process p(args);
  EXPECT_TRUE(wait_until(
      [] { return harness::read_file("/tmp/onvif_ipc_sockd").value_or("").find("00000200=") != std::string::npos; },
      10s))
      << p.err();
  return p;
}

// A frame store on video channel 0 fed with 3000-byte MPEG-4 units at
// 30 per second, so that a stream on it runs its main loop.
inline harness::Process start_mpeg4_feeder() {
  std::string units;
  for (int i = 0; i < 30000; ++i) {
    units.push_back(static_cast<char>(i * 7 + 1));
  }
  std::ofstream("/tmp/feed.bin", std::ios::binary) << units;
  return harness::Process({harness::bin("frame-feeder"), "--codec", "mpeg4", "--channel", "0", "--input",
                           "/tmp/feed.bin", "--raw-block", "3000", "--loop"});
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
}

// True once a UDP socket of this namespace (or of the receiving host) is
// bound to `port` (bounded wait).
inline bool wait_udp_port_bound(int port, std::chrono::milliseconds timeout = 5s, bool on_peer = false) {
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  return wait_until(
      [&] {
        bool bound = false;
        const auto look = [&] {
          for (const char* table : {"/proc/thread-self/net/udp", "/proc/thread-self/net/udp6"}) {
            bound = bound || harness::read_file(table).value_or("").find(hex) != std::string::npos;
          }
        };
        on_peer ? harness::in_peer(look) : look();
        return bound;
      },
      timeout);
}

} // namespace daemon_runs
