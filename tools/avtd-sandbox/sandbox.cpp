#include "avtd-sandbox/sandbox.h"

#include "avtd-sandbox/pid_range.h"
#include "avtd-sandbox/setup.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace avtd_sandbox {
namespace {

int g_peer_fd = -1;
bool g_entered = false;

SyslogCapture& capture() {
  // Never destroyed: the capture thread may still run while static objects
  // of other units go away at exit.
  static auto* instance = new SyslogCapture;
  return *instance;
}

EnterResult failed(std::string why) {
  return {Outcome::failed, "cannot set up the sandbox: " + why};
}

std::atomic<pid_t> g_init{0};

// In the waiting parent: a termination request sent by a process is passed to
// the sandbox's first process. One from the terminal (SI_KERNEL) reaches the
// whole foreground group anyway. kill() is async-signal-safe.
void pass_on(int sig, siginfo_t* info, void*) {
  pid_t pid = g_init.load();
  if (pid > 0 && (info == nullptr || info->si_code != SI_KERNEL)) {
    ::kill(pid, sig);
  }
}

// The parent outside waits for the sandbox's first process and ends the same
// way: exit code, or the same signal. It never returns.
[[noreturn]] void wait_as_parent(pid_t init) {
  g_init.store(init);
  struct sigaction action{};
  action.sa_sigaction = pass_on;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(sig, &action, nullptr);
  }
  int status = 0;
  while (::waitpid(init, &status, 0) < 0) {
    if (errno != EINTR) {
      std::perror("sandbox: waitpid");
      ::_exit(125);
    }
  }
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    struct sigaction plain{};
    plain.sa_handler = SIG_DFL;
    ::sigaction(sig, &plain, nullptr);
    // No core of our own: the one that crashed has left its own.
    struct rlimit none{};
    ::setrlimit(RLIMIT_CORE, &none);
    ::raise(sig);
    ::_exit(128 + sig);
  }
  ::_exit(WEXITSTATUS(status));
}

} // namespace

EnterResult enter(const std::vector<std::string>& keep, Nic nic) {
  if (g_entered) {
    return {Outcome::entered, {}};
  }
  if (::geteuid() != 0) {
    return {Outcome::not_root, kNeedRoot};
  }
  // A PID namespace of our own: its first process (the caller's code from
  // here on) is its init, so every daemon that forks away is collected by
  // it, and when it ends, however it ends, the kernel ends every process
  // left inside. The process outside only waits.
  std::fflush(nullptr);
  const int first_pid = claim_pid_range();
  if (::unshare(CLONE_NEWPID) != 0) {
    return failed(std::string("unshare a PID namespace: ") + std::strerror(errno));
  }
  // The parent holds the write end until it ends; the child sees a hang-up.
  int lifeline[2];
  if (::pipe2(lifeline, O_CLOEXEC) != 0) {
    return failed(std::string("pipe: ") + std::strerror(errno));
  }
  const pid_t init = ::fork();
  if (init < 0) {
    return failed(std::string("fork: ") + std::strerror(errno));
  }
  if (init > 0) {
    ::close(lifeline[0]);
    wait_as_parent(init);
  }
  ::close(lifeline[1]);
  // Nothing outlives the parent's end (a killed test run included); if it
  // ended before we asked to follow it, end now.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  pollfd hangup{lifeline[0], POLLIN, 0};
  if (::poll(&hangup, 1, 0) != 0) {
    ::_exit(125);
  }
  ::close(lifeline[0]);
  if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    return failed(std::string("unshare: ") + std::strerror(errno));
  }
  if (auto why = setup_mounts(keep); !why.empty()) {
    return failed(why);
  }
  // Before anything else forks: pids from our range from here on.
  if (first_pid > 0 && !start_pids_at(first_pid)) {
    return failed("cannot set the first pid of the namespace");
  }
  if (auto why = setup_network(&g_peer_fd, nic); !why.empty()) {
    return failed(why);
  }
  if (auto why = capture().start(kSyslogPath); !why.empty()) {
    return failed(why);
  }
  g_entered = true;
  return {Outcome::entered, {}};
}

bool entered() {
  return g_entered;
}

SyslogCapture& captured_syslog() {
  return capture();
}

int peer_netns_fd() {
  return g_peer_fd;
}

} // namespace avtd_sandbox
