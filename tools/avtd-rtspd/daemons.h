// The stream daemons this process starts: one start at a time (the daemon
// forks away, so its process id is known only from its pid file, and an
// early exit can be told apart only while one start is open), SIGTERM to
// stop with SIGKILL after a grace period, and reaping. The process is a
// child subreaper, so every daemon comes back to it as a child.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rtspd {

struct launch_request {
  int key = 0;                   // whose daemon (a session or shared stream id)
  std::vector<std::string> argv; // argv[0]: the daemon's path
  std::string pid_file;
};

struct daemon_event {
  enum class kind { started, failed, exited } what = kind::started;
  int key = 0;
  pid_t pid = -1;
  std::string why; // failed / exited: status and its reason
};

class daemon_pool {
 public:
  daemon_pool();
  void launch(launch_request request);
  // SIGTERM once the daemon runs its threads (a daemon stopped while it
  // starts ends with status 1 and skips part of its tidying, the multicast
  // host route for one), SIGKILL when it is still there after the grace
  // period.
  void stop(pid_t pid, int64_t now_ms);
  void keep_alive(pid_t pid) const;
  // Reaps, advances the open start and the stops; what happened since.
  std::vector<daemon_event> poll(int64_t now_ms);
  bool busy() const { return current_.has_value() || !queue_.empty() || !stopping_.empty(); }
  // Stops every daemon, the one starting too once it has; poll() goes on
  // reaping them (they ask the session service on their way out, so the
  // owner keeps serving it) until idle().
  void stop_all(int64_t now_ms);
  bool idle() const { return !current_ && running_.empty(); }
  // What is still there after the owner's patience: SIGKILL and reap.
  void kill_remaining();

 private:
  struct open_start {
    launch_request request;
    pid_t launcher = -1;
    bool launcher_done = false;
    int64_t deadline = 0;
  };
  struct running {
    int key = 0;
    std::string pid_file;
  };
  void start_next(int64_t now_ms, std::vector<daemon_event>& events);
  void reaped(pid_t pid, int status, std::vector<daemon_event>& events);

  std::deque<launch_request> queue_;
  std::optional<open_start> current_;
  std::map<pid_t, running> running_;
  struct stopping {
    bool term_sent = false;
    int64_t deadline = 0; // SIGTERM at the latest / SIGKILL once sent
  };
  void advance_stops(int64_t now_ms);
  std::map<pid_t, stopping> stopping_;
  bool stopping_all_ = false;
};

// "exit 7 (stream or RTCP set-up refused the parameters)", "signal 9".
std::string describe_status(int wait_status);

} // namespace rtspd
