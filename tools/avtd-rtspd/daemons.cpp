#include "daemons.h"

#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "clock.h"
#include "log.h"

extern char** environ;

namespace rtspd {
namespace {

// The daemon claims its pid file within milliseconds; the RTP-over-TCP
// start waits for its connection afterwards, not before.
constexpr int64_t kStartLimitMs = 5000;
constexpr int64_t kStopGraceMs = 5000;
// How long a stop waits for a starting daemon's threads; an RTP-over-TCP
// daemon whose connection never comes gives up after about 6 s.
constexpr int64_t kStartingWaitMs = 7000;
// Main, stream and RTCP thread: the daemon has left its start-up.
constexpr int kRunningThreads = 3;

// The daemon's exit statuses.
const char* reason_of(int code) {
  switch (code) {
    case 0: return "normal end";
    case 1: return "terminated while stopping or before its threads ran";
    case 2: return "command line refused";
    case 3: return "becoming a daemon failed";
    case 4: return "signal set-up failed";
    case 5: return "registration with the session daemon failed";
    case 6: return "no data source for the stream";
    case 7: return "stream or RTCP set-up refused the parameters";
    case 8: return "pid file could not be claimed";
    case 9: return "a thread could not be created";
    case 127: return "could not be run";
    default: return "unknown status";
  }
}

std::optional<pid_t> read_pid(const std::string& path) {
  std::ifstream in(path);
  long pid = 0;
  if (!(in >> pid) || pid <= 0) {
    return std::nullopt;
  }
  return static_cast<pid_t>(pid);
}

pid_t spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  // The daemon starts with an empty signal mask and default dispositions,
  // whatever this process blocks or ignores.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], nullptr, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? pid : -1;
}

int threads_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Threads:", 0) == 0) {
      return std::atoi(line.c_str() + 8);
    }
  }
  return 0;
}

} // namespace

std::string describe_status(int status) {
  if (WIFEXITED(status)) {
    const int code = WEXITSTATUS(status);
    return "exit " + std::to_string(code) + " (" + reason_of(code) + ")";
  }
  if (WIFSIGNALED(status)) {
    return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  }
  return "status " + std::to_string(status);
}

daemon_pool::daemon_pool() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

void daemon_pool::launch(launch_request request) { queue_.push_back(std::move(request)); }

void daemon_pool::stop(pid_t pid, int64_t now_ms) {
  if (running_.count(pid) == 0 || stopping_.count(pid) != 0) {
    return;
  }
  stopping_[pid] = {false, now_ms + kStartingWaitMs};
  advance_stops(now_ms);
}

void daemon_pool::advance_stops(int64_t now_ms) {
  for (auto& [pid, s] : stopping_) {
    if (!s.term_sent && (threads_of(pid) >= kRunningThreads || now_ms > s.deadline)) {
      kill(pid, SIGTERM);
      s = {true, now_ms + kStopGraceMs};
    } else if (s.term_sent && now_ms > s.deadline) {
      kill(pid, SIGKILL);
    }
  }
}

void daemon_pool::keep_alive(pid_t pid) const {
  if (running_.count(pid) != 0 && stopping_.count(pid) == 0) {
    kill(pid, SIGUSR1);
  }
}

void daemon_pool::start_next(int64_t now_ms, std::vector<daemon_event>& events) {
  while (!current_ && !queue_.empty()) {
    launch_request request = std::move(queue_.front());
    queue_.pop_front();
    // A pid file naming a live process would make the daemon step back
    // ("process is existed"); a stale one it replaces, and so do we.
    if (const auto old = read_pid(request.pid_file); old && kill(*old, 0) == 0) {
      events.push_back({daemon_event::kind::failed, request.key, -1,
                        "process " + std::to_string(*old) + " already owns " + request.pid_file});
      continue;
    }
    unlink(request.pid_file.c_str());
    const pid_t launcher = spawn(request.argv);
    if (launcher < 0) {
      events.push_back({daemon_event::kind::failed, request.key, -1, "cannot run " + request.argv[0]});
      continue;
    }
    current_ = open_start{std::move(request), launcher, false, now_ms + kStartLimitMs};
  }
}

void daemon_pool::reaped(pid_t pid, int status, std::vector<daemon_event>& events) {
  if (current_ && pid == current_->launcher) {
    // The launcher returns once the daemon has forked away; anything but
    // 0 is the daemon refusing to start.
    current_->launcher_done = true;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      events.push_back({daemon_event::kind::failed, current_->request.key, -1, describe_status(status)});
      current_.reset();
    }
    return;
  }
  if (const auto it = running_.find(pid); it != running_.end()) {
    // A daemon killed before it could tidy up leaves its pid file.
    if (WIFSIGNALED(status) && read_pid(it->second.pid_file) == pid) {
      unlink(it->second.pid_file.c_str());
    }
    events.push_back({daemon_event::kind::exited, it->second.key, pid, describe_status(status)});
    running_.erase(it);
    stopping_.erase(pid);
    return;
  }
  if (current_) {
    // Not the launcher and not a known daemon: the daemon of the open
    // start, ended before it claimed its pid file.
    events.push_back({daemon_event::kind::failed, current_->request.key, pid, describe_status(status)});
    current_.reset();
    return;
  }
  note("process %d ended unclaimed: %s", static_cast<int>(pid), describe_status(status).c_str());
}

std::vector<daemon_event> daemon_pool::poll(int64_t now_ms) {
  std::vector<daemon_event> events;
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) {
      break;
    }
    reaped(pid, status, events);
  }
  if (current_ && current_->launcher_done) {
    if (const auto pid = read_pid(current_->request.pid_file); pid && kill(*pid, 0) == 0) {
      running_[*pid] = {current_->request.key, current_->request.pid_file};
      events.push_back({daemon_event::kind::started, current_->request.key, *pid, {}});
      current_.reset();
      if (stopping_all_) {
        stop(*pid, now_ms);
      }
    }
  }
  if (current_ && now_ms > current_->deadline) {
    events.push_back({daemon_event::kind::failed, current_->request.key, -1, "no pid file within 5 s"});
    current_.reset();
  }
  advance_stops(now_ms);
  start_next(now_ms, events);
  return events;
}

void daemon_pool::stop_all(int64_t now_ms) {
  stopping_all_ = true;
  queue_.clear();
  for (const auto& [pid, info] : running_) {
    stop(pid, now_ms);
  }
}

void daemon_pool::kill_remaining() {
  for (const auto& [pid, info] : running_) {
    kill(pid, SIGKILL);
  }
  const int64_t limit = monotonic_ms() + kStopGraceMs;
  while (!running_.empty() && monotonic_ms() < limit) {
    for (const daemon_event& e : poll(monotonic_ms())) {
      note("daemon %d of session %d ended: %s", static_cast<int>(e.pid), e.key, e.why.c_str());
    }
    usleep(20000);
  }
}

} // namespace rtspd
