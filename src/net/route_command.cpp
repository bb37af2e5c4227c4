// Runs the system's route program in a child process and collects it.
#include "net/route.h"

#include "support/log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

static constexpr char kLogUnit[] = "network";

namespace {

// Runs `argv` (argv[0] found through PATH) and waits for it.
int exec_process(char* const argv[]) {
  const pid_t pid = ::fork();
  if (pid < 0) {
    LOG_FUNC(LOG_ERR, "exec_process", ": fork error(%s)", std::strerror(errno));
    return -1;
  }
  if (pid == 0) {
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
  if (::waitpid(pid, &status, 0) < 0) {
    if (errno == EINTR) {
      // Interrupted: do not leave the child running unwatched, nor behind as
      // a zombie when this second wait is interrupted too.
      ::kill(pid, SIGTERM);
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
