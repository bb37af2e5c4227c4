#include "daemon_run.h"

#include <signal.h>

#include "procstat.h"
#include "process_run.h"
#include "toolkit/daemon.h"
#include "toolkit/process.h"

namespace bench {

namespace {
constexpr int kStartMs = 10000;
constexpr int kStopMs = 15000;
constexpr int kThreads = 3; // main, stream, RTCP
} // namespace

std::string daemon_pid_file(int session) { return toolkit::daemon_pid_file({"--session_id=" + std::to_string(session)}); }

bool launch_daemon(const context& ctx, int session, int port, daemon_process& d, std::string& error,
                   const std::string& row) {
  const std::string& log = row;
  std::vector<std::string> environment;
  if (row == kRowDaemonNoOffload || row == kRowDaemonSingle) {
    environment = {"LD_PRELOAD=" + ctx.fault_library, "AVTD_NO_UDP_SEGMENT=1"};
    if (row == kRowDaemonSingle) environment.push_back("AVTD_NO_SENDMMSG=1");
  }
  const std::vector<std::string> args = {
      ctx.bin + "/avtd",          "--datatype=h264",    "--host=" + ctx.peer,
      "--dstport=" + std::to_string(port), "--ttl=64", "--tos=0",
      "--device=eth0",            "--protocol=rtp_udp", "--session_id=" + std::to_string(session),
      "--timeout=0"};
  d = daemon_process{};
  d.launched_ns = realtime_ns();
  const pid_t launcher = spawn(args, ctx.log(log), environment);
  if (launcher < 0) {
    error = "cannot start avtd";
    return false;
  }
  const auto launched = reap(launcher, kStartMs);
  if (!launched || !launched->clean()) {
    error = "avtd did not become a daemon (see " + ctx.log(log) + ")";
    return false;
  }
  d.launcher_cpu_ms = launched->cpu_ms();
  const auto pid = toolkit::read_pid_file(toolkit::daemon_pid_file(args), std::chrono::milliseconds(kStartMs));
  if (!pid) {
    error = "avtd wrote no pid file";
    return false;
  }
  d.pid = *pid;
  return true;
}

bool find_stream_thread(daemon_process& d) {
  for (int waited = 0; waited < 1000; ++waited) {
    const std::vector<pid_t> tids = threads_of(d.pid);
    if (tids.size() >= kThreads) {
      d.stream_tid = tids[1];
      return true;
    }
    sleep_ms(1);
  }
  return false;
}

bool stop_daemon(daemon_process& d, std::string& error) {
  const int64_t signalled = realtime_ns();
  if (d.pid > 0) kill(d.pid, SIGTERM);
  const bool clean = await_daemon(d, error);
  d.stop_wall_ms = static_cast<double>(realtime_ns() - signalled) / 1e6;
  return clean;
}

bool await_daemon(daemon_process& d, std::string& error) {
  if (d.pid <= 0) return true;
  auto e = reap(d.pid, kStopMs);
  if (!e) {
    kill(d.pid, SIGKILL);
    e = reap(d.pid, kStopMs);
  }
  d.pid = -1;
  if (!e || !e->clean()) {
    error = "avtd did not end cleanly on SIGTERM";
    return false;
  }
  return true;
}

} // namespace bench
