// Runs the system's route program in a child process and collects it.
#include "net/route.h"

#include "support/log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

static constexpr char kLogUnit[] = "network";

namespace {

// A route command takes milliseconds; one that hangs is ended after this.
constexpr int kCommandWaitMs = 5000;

// Waits until the running child `pid` has ended: 1 ended, 0 the bound
// passed, -1 with errno set (EINTR: a signal came). Without process
// descriptors (older kernels) it reports 1 at once and the caller's wait
// blocks as it always did.
int wait_for_end(pid_t pid) {
#ifdef SYS_pidfd_open
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return 1;
  pollfd p{pidfd, POLLIN, 0};
  const int ready = ::poll(&p, 1, kCommandWaitMs);
  const int saved_errno = errno;
  ::close(pidfd);
  errno = saved_errno;
  return ready;
#else
  (void)pid;
  return 1;
#endif
}

// Runs `argv` (argv[0] found through PATH) and waits for it.
int exec_process(char* const argv[]) {
  const pid_t pid = ::fork();
  if (pid < 0) {
    LOG_FUNC(LOG_ERR, "exec_process", ": fork error(%s)", std::strerror(errno));
    return -1;
  }
  if (pid == 0) {
    // The command starts with no signal held back, whatever its parent holds.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execvp(argv[0], argv);
    LOG_FUNC(LOG_ERR, "exec_process", " : execv(%s)", std::strerror(errno));
    // _exit: the parent's stdio buffers and exit handlers are not the child's to run.
    ::_exit(1);
  }
  LOG_FUNC(LOG_DEBUG, "exec_process", " : waitpid(pid = %u:%s)\n", static_cast<unsigned>(pid), argv[0]);
  return wait_child(pid);
}

} // namespace

int change_route(const char* operation, uint32_t address, const char* device) {
  char text[16];
  struct in_addr in {};
  in.s_addr = address;
  if (::inet_ntop(AF_INET, &in, text, sizeof text) == nullptr) {
    LOG_FUNC(LOG_ERR, "change_route", " : inet_ntop error");
    return -1;
  }
  char program[] = "route";
  char host_flag[] = "-host";
  char dev_flag[] = "dev";
  char* const argv[] = {program, const_cast<char*>(operation), host_flag, text, dev_flag,
                        const_cast<char*>(device), nullptr};
  if (exec_process(argv) < 0) {
    LOG_FUNC(LOG_ERR, "change_route", " : route error");
    return -2;
  }
  return 0;
}

int wait_child(pid_t pid) {
  int status = 0;
  pid_t ended = ::waitpid(pid, &status, WNOHANG);
  if (ended == 0) {
    // Our child and still running. A command that hangs is killed and then
    // collected below as ended by a signal.
    const int ready = wait_for_end(pid);
    if (ready == 0) ::kill(pid, SIGKILL);
    ended = ready < 0 && errno == EINTR ? -1 : ::waitpid(pid, &status, 0);
  }
  if (ended < 0) {
    if (errno == EINTR) {
      // Interrupted: do not leave the child running unwatched, nor behind as
      // a zombie when this second wait is interrupted too.
      ::kill(pid, SIGTERM);
      if (wait_for_end(pid) == 0) ::kill(pid, SIGKILL);
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
    LOG_FUNC(LOG_ERR, "wait_child", " : waitpid(%s)", std::strerror(errno));
    return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    LOG_FUNC(LOG_ERR, "wait_child", " : child process signaled(%d)", WTERMSIG(status));
    return -1;
  }
  LOG_FUNC(LOG_ERR, "wait_child", " : child process abnormal terminated(%d)", status);
  return -1;
}
