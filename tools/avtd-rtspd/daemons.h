// The stream daemons this process starts, each with --foreground: a child
// of ours with its real exit status, its syslog lines on a pipe (the last
// says why it ended, the first why it did not start). A daemon counts as
// started once its pid file names it; SIGTERM stops it (SIGKILL after a
// grace period), and it is reaped here.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
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
  std::string why; // failed / exited: status, its reason and the daemon's last line
};

class daemon_pool {
 public:
  ~daemon_pool();
  // A failure to start comes with the next poll().
  void launch(launch_request request, int64_t now_ms);
  // SIGTERM once the daemon runs its threads (a daemon stopped while it
  // starts ends with status 1 and skips part of its tidying, the multicast
  // host route for one), SIGKILL when it is still there after the grace
  // period.
  void stop(pid_t pid, int64_t now_ms);
  void keep_alive(pid_t pid) const;
  // The daemons' output pipes, to be read as they fill.
  void add_poll_fds(std::vector<pollfd>& fds) const;
  // Reads the pipes, reaps, advances starts and stops; what happened since.
  std::vector<daemon_event> poll(int64_t now_ms);
  bool busy() const;
  // Stops every daemon, one still starting too; poll() goes on reaping
  // them (they ask the session service on their way out, so the owner
  // keeps serving it) until idle().
  void stop_all(int64_t now_ms);
  bool idle() const { return children_.empty(); }
  // What is still there after the owner's patience: SIGKILL and reap.
  void kill_remaining();

 private:
  struct child {
    int key = 0;
    std::string pid_file;
    int output = -1;          // read end of its standard output and error
    std::string partial;      // an unfinished line
    std::string first_line; // why a start was refused
    std::string last_line;  // why a running daemon ended
    bool started = false;
    int64_t start_deadline = 0;
    bool stopping = false;
    bool term_sent = false;
    int64_t stop_deadline = 0; // SIGTERM at the latest / SIGKILL once sent
  };
  void drain(child& c);
  void advance(pid_t pid, child& c, int64_t now_ms, std::vector<daemon_event>& events);

  std::map<pid_t, child> children_;
  std::vector<daemon_event> pending_; // refused starts, for the next poll()
  bool stopping_all_ = false;
};

// "exit 7 (stream or RTCP set-up refused the parameters)", "signal 9".
std::string describe_status(int wait_status);

} // namespace rtspd
