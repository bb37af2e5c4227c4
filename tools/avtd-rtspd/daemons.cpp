#include "daemons.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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
// daemon waits for its connection afterwards, not before.
constexpr int64_t kStartLimitMs = 5000;
constexpr int64_t kStopGraceMs = 5000;
// How long a stop waits for a starting daemon's threads; an RTP-over-TCP
// daemon whose connection never comes gives up after about 6 s.
constexpr int64_t kStartingWaitMs = 7000;
// Main, stream and RTCP thread: the daemon has left its start-up.
constexpr int kRunningThreads = 3;
constexpr size_t kMaxLine = 512;

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

pid_t read_pid(const std::string& path) {
  std::ifstream in(path);
  long pid = 0;
  return in >> pid && pid > 0 ? static_cast<pid_t>(pid) : -1;
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

// The daemon with --foreground in a session of its own, its standard output
// and error on `output`, an empty signal mask and default dispositions
// whatever this process blocks or ignores.
pid_t spawn(const std::vector<std::string>& argv, int output) {
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files, output, 1);
  posix_spawn_file_actions_adddup2(&files, output, 2);
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
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &files, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&files);
  return rc == 0 ? pid : -1;
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

daemon_pool::~daemon_pool() {
  for (auto& [pid, c] : children_) {
    if (c.output >= 0) {
      close(c.output);
    }
  }
}

void daemon_pool::launch(launch_request request, int64_t now_ms) {
  std::vector<daemon_event>& events = pending_;
  // A pid file naming a live process would make the daemon step back
  // ("process is existed"); a stale one it replaces, and so do we.
  if (const pid_t old = read_pid(request.pid_file); old > 0 && kill(old, 0) == 0) {
    events.push_back({daemon_event::kind::failed, request.key, -1,
                      "process " + std::to_string(old) + " already owns " + request.pid_file});
    return;
  }
  unlink(request.pid_file.c_str());
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    events.push_back({daemon_event::kind::failed, request.key, -1, std::string("pipe: ") + std::strerror(errno)});
    return;
  }
  request.argv.push_back("--foreground");
  const pid_t pid = spawn(request.argv, pipe_fds[1]);
  close(pipe_fds[1]);
  if (pid < 0) {
    close(pipe_fds[0]);
    events.push_back({daemon_event::kind::failed, request.key, -1, "cannot run " + request.argv[0]});
    return;
  }
  fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
  child c;
  c.key = request.key;
  c.pid_file = request.pid_file;
  c.output = pipe_fds[0];
  c.start_deadline = now_ms + kStartLimitMs;
  children_.emplace(pid, std::move(c));
  if (stopping_all_) {
    stop(pid, now_ms);
  }
}

void daemon_pool::stop(pid_t pid, int64_t now_ms) {
  const auto it = children_.find(pid);
  if (it == children_.end() || it->second.stopping) {
    return;
  }
  it->second.stopping = true;
  it->second.stop_deadline = now_ms + kStartingWaitMs;
}

void daemon_pool::keep_alive(pid_t pid) const {
  const auto it = children_.find(pid);
  if (it != children_.end() && !it->second.stopping) {
    kill(pid, SIGUSR1);
  }
}

bool daemon_pool::busy() const {
  if (!pending_.empty()) {
    return true;
  }
  for (const auto& [pid, c] : children_) {
    if (!c.started || c.stopping) {
      return true;
    }
  }
  return false;
}

void daemon_pool::add_poll_fds(std::vector<pollfd>& fds) const {
  for (const auto& [pid, c] : children_) {
    if (c.output >= 0) {
      fds.push_back({c.output, POLLIN, 0});
    }
  }
}

// Keeps the last whole line; the daemon never waits on a full pipe.
void daemon_pool::drain(child& c) {
  char buf[4096];
  for (;;) {
    const ssize_t n = c.output < 0 ? 0 : read(c.output, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      if (n == 0 && c.output >= 0) {
        close(c.output);
        c.output = -1;
      }
      return;
    }
    c.partial.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = c.partial.find('\n')) != std::string::npos;) {
      if (nl > 0) {
        c.last_line = c.partial.substr(0, std::min(nl, kMaxLine));
        if (c.first_line.empty()) {
          c.first_line = c.last_line;
        }
      }
      c.partial.erase(0, nl + 1);
    }
    if (c.partial.size() > kMaxLine) {
      c.partial.clear();
    }
  }
}

void daemon_pool::advance(pid_t pid, child& c, int64_t now_ms, std::vector<daemon_event>& events) {
  if (!c.started && read_pid(c.pid_file) == pid) {
    c.started = true;
    events.push_back({daemon_event::kind::started, c.key, pid, {}});
  } else if (!c.started && !c.stopping && now_ms > c.start_deadline) {
    note("daemon %d of session %d: no pid file within 5 s", static_cast<int>(pid), c.key);
    stop(pid, now_ms);
  }
  if (c.stopping && !c.term_sent && (threads_of(pid) >= kRunningThreads || now_ms > c.stop_deadline)) {
    kill(pid, SIGTERM);
    c.term_sent = true;
    c.stop_deadline = now_ms + kStopGraceMs;
  } else if (c.term_sent && now_ms > c.stop_deadline) {
    kill(pid, SIGKILL);
  }
}

std::vector<daemon_event> daemon_pool::poll(int64_t now_ms) {
  std::vector<daemon_event> events = std::move(pending_);
  pending_.clear();
  for (auto& [pid, c] : children_) {
    drain(c);
  }
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) {
      break;
    }
    const auto it = children_.find(pid);
    if (it == children_.end()) {
      note("process %d ended unclaimed: %s", static_cast<int>(pid), describe_status(status).c_str());
      continue;
    }
    child& c = it->second;
    drain(c);
    // A daemon killed before it could tidy up leaves its pid file.
    if (WIFSIGNALED(status) && read_pid(c.pid_file) == pid) {
      unlink(c.pid_file.c_str());
    }
    std::string why = describe_status(status);
    if (!c.started && !c.first_line.empty()) {
      why += "; it said: " + c.first_line;
    } else if (!c.last_line.empty()) {
      why += "; its last line: " + c.last_line;
    }
    events.push_back({c.started ? daemon_event::kind::exited : daemon_event::kind::failed, c.key, pid, why});
    if (c.output >= 0) {
      close(c.output);
    }
    children_.erase(it);
  }
  for (auto& [pid, c] : children_) {
    advance(pid, c, now_ms, events);
  }
  return events;
}

void daemon_pool::stop_all(int64_t now_ms) {
  stopping_all_ = true;
  for (auto& [pid, c] : children_) {
    stop(pid, now_ms);
  }
}

void daemon_pool::kill_remaining() {
  for (const auto& [pid, c] : children_) {
    kill(pid, SIGKILL);
  }
  const int64_t limit = monotonic_ms() + kStopGraceMs;
  while (!children_.empty() && monotonic_ms() < limit) {
    for (const daemon_event& e : poll(monotonic_ms())) {
      note("daemon %d of session %d ended: %s", static_cast<int>(e.pid), e.key, e.why.c_str());
    }
    usleep(20000);
  }
}

} // namespace rtspd
