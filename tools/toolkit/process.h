// Child processes: spawn with captured output, run to completion, and wait
// (bounded) for the exit of any descendant, daemons included.
//
// In the sandbox the caller is a child subreaper (its init), so a daemon
// that forked away from the process we spawned becomes our child once its
// parent exits, and wait_exit() collects its real exit status.
#pragma once

#include "toolkit/fd.h"

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace toolkit {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

struct ExitStatus {
  enum class Kind { exited, signaled, timed_out, not_child };
  Kind kind = Kind::not_child;
  int raw = 0; // the waitpid status when exited or signaled

  bool exited() const { return kind == Kind::exited; }
  bool signaled() const { return kind == Kind::signaled; }
  bool timed_out() const { return kind == Kind::timed_out; }
  // The exit code; 128 + signal when killed; -1 when timed out / not a child.
  int code() const;
  int signal() const; // the terminating signal or 0
  std::string describe() const; // "exit 0", "signal 9 (Killed)", "timed out", "not a child"
};
std::ostream& operator<<(std::ostream& out, const ExitStatus& status);

struct SpawnOptions {
  bool in_peer = false;          // run inside the sandbox's receiving host namespace
  std::string stdin_text;        // standard input; /dev/null when empty
  std::vector<std::string> env;  // extra or replaced "NAME=value" entries
  std::string cwd;               // working directory; inherited when empty
};

// A spawned child whose standard output and error are captured in memory
// files. Destruction SIGKILLs it (if still running) and reaps it.
class Process {
 public:
  Process() = default;
  // argv[0] is searched in PATH unless it holds a '/'. A program that cannot
  // be started exits with 127 and says why on its standard error.
  explicit Process(std::vector<std::string> argv, SpawnOptions options = {});
  ~Process();
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // Waits up to `timeout` for the end and reaps; later calls return the same.
  ExitStatus wait(Millis timeout = 10s);
  bool finished() const { return status_.has_value(); }
  void signal(int sig = SIGTERM) const;

  std::string out() const; // standard output so far
  std::string err() const; // standard error so far
  // Wait (bounded) until standard output / error contains `text`.
  bool wait_out(std::string_view text, Millis timeout = 5s) const;
  bool wait_err(std::string_view text, Millis timeout = 5s) const;

 private:
  void finish();

  pid_t pid_ = -1;
  Fd out_;
  Fd err_;
  std::optional<ExitStatus> status_;
};

struct RunResult {
  ExitStatus status;
  std::string out;
  std::string err;
};

// Runs a command to completion; SIGKILLs it when it outlives `timeout`
// (status then says timed out).
RunResult run(std::vector<std::string> argv, Millis timeout = 10s, SpawnOptions options = {});

// Waits for `pid` to end and reaps it: a direct child, or a daemon that came
// to us after its parent exited (it may take a moment to arrive).
ExitStatus wait_exit(pid_t pid, Millis timeout = 10s);

// True while `pid` exists and is not a zombie.
bool process_alive(pid_t pid);

// The process id in a pid file, once the file holds a positive number.
std::optional<pid_t> read_pid_file(const std::string& path, Millis timeout = 5s);

// True while a thread of `pid` sleeps on a futex inside its mapping of the
// file `path` (a frame store reader waiting for the next block).
bool sleeps_on_mapping(pid_t pid, const std::string& path);

} // namespace toolkit
