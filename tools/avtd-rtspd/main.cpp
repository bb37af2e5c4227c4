// avtd-rtspd: the device's session daemon for players. Serves RTSP and the
// session service "/tmp/session" from one single-threaded poll loop, and
// starts, keeps alive and stops one avtd per viewer (one per multicast
// stream). SIGTERM or SIGINT stops every daemon and removes the sockets.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "clock.h"
#include "daemons.h"
#include "log.h"
#include "options.h"
#include "platform/session.h"
#include "server.h"
#include "service.h"
#include "sessions.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kBusyPollMs = 20;  // a start in flight or replies to take up
constexpr int kIdlePollMs = 250; // time-outs are checked this often
// At SIGTERM the daemons get this long to end (a starting one first runs
// its threads, then stops within a second or two) before SIGKILL.
constexpr int64_t kStopLimitMs = 10000;

// avtd beside this program, as the build and the installation place them.
std::string daemon_beside_us() {
  char self[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return "avtd";
  }
  path = path.substr(0, slash + 1);
  // Installed, the daemon sits in sbin beside bin.
  for (const std::string& candidate : {path + "avtd", path + "../sbin/avtd"}) {
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return path + "avtd";
}

} // namespace

int main(int argc, char** argv) {
  rtspd::options opts;
  std::string error;
  const int parsed = rtspd::parse_options(argc, argv, opts, error);
  if (parsed == 1) {
    std::fputs(rtspd::kUsage, stdout);
    return 0;
  }
  if (parsed < 0) {
    std::fprintf(stderr, "avtd-rtspd: %s\n%s", error.c_str(), rtspd::kUsage);
    return kExitUsage;
  }
  if (opts.avtd.empty()) {
    opts.avtd = daemon_beside_us();
  }
  rtspd::open_log();

  sigset_t handled;
  sigemptyset(&handled);
  for (const int sig : {SIGTERM, SIGINT, SIGCHLD}) {
    sigaddset(&handled, sig);
  }
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int sig_fd = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);

  rtspd::session_table table(opts.server_port, opts.max_sessions + 8, opts.framerate);
  FILE* session_log = opts.session_log.empty() ? nullptr : std::fopen(opts.session_log.c_str(), "a");
  session_registry registry(table, session_log);
  session_service service(registry);
  rtspd::daemon_pool daemons;
  rtspd::server rtsp(opts, daemons, table);
  if (sig_fd < 0 || !service.listen_on(kSessionServicePath)) {
    rtspd::note("cannot serve %s: %s", kSessionServicePath, std::strerror(errno));
    return 1;
  }
  if (!rtsp.listen_all()) {
    return 1;
  }
  rtspd::note("serving RTSP on port %d, daemon %s", opts.port, opts.avtd.c_str());

  int64_t stop_deadline = 0; // set once a termination signal came
  for (;;) {
    std::vector<pollfd> fds{{sig_fd, POLLIN, 0}};
    const size_t service_at = fds.size();
    service.add_poll_fds(fds);
    daemons.add_poll_fds(fds);
    const size_t rtsp_at = fds.size();
    rtsp.add_poll_fds(fds);
    const int wait = daemons.busy() || rtsp.input_pending() ? kBusyPollMs : kIdlePollMs;
    if (poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) {
      rtspd::note("poll: %s", std::strerror(errno));
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      while (read(sig_fd, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo != SIGCHLD && stop_deadline == 0) {
          rtspd::note("caught signal %u, stopping", info.ssi_signo);
          // No more players; the session service stays for the daemons'
          // goodbyes.
          rtsp.shutdown();
          stop_deadline = rtspd::monotonic_ms() + kStopLimitMs;
          daemons.stop_all(rtspd::monotonic_ms());
        }
      }
    }
    // Daemons first: a daemon's query may follow its start in this round.
    const int64_t now = rtspd::monotonic_ms();
    for (const rtspd::daemon_event& e : daemons.poll(now)) {
      rtsp.on_daemon_event(e, now);
    }
    service.serve(fds, service_at);
    if (stop_deadline != 0) {
      if (daemons.idle() || now > stop_deadline) {
        break;
      }
      continue;
    }
    rtsp.serve(fds, rtsp_at, now);
    rtsp.tick(now);
  }

  daemons.kill_remaining();
  service.close_all();
  if (session_log != nullptr) {
    std::fclose(session_log);
  }
  return 0;
}
