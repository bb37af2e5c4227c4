#include "spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {
constexpr int kStepMs = 1;
}

bool become_subreaper() { return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int in = open("/dev/null", O_RDONLY);
  const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in >= 0) dup2(in, 0);
  if (log >= 0) {
    dup2(log, 1);
    dup2(log, 2);
  }
  execvp(args[0], args.data());
  std::perror(args[0]);
  _exit(127);
}

double ended::cpu_ms() const {
  auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

bool ended::clean() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

void sleep_ms(int ms) {
  timespec t{ms / 1000, (ms % 1000) * 1'000'000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

std::optional<ended> reap(pid_t pid, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += kStepMs) {
    ended e;
    const pid_t got = wait4(pid, &e.status, WNOHANG, &e.usage);
    if (got == pid) return e;
    if (got < 0) return std::nullopt;
    sleep_ms(kStepMs);
  }
  return std::nullopt;
}

std::optional<ended> stop(pid_t pid, int timeout_ms) {
  if (pid <= 0) return std::nullopt;
  kill(pid, SIGTERM);
  if (auto e = reap(pid, timeout_ms)) return e;
  kill(pid, SIGKILL);
  return reap(pid, 2000);
}

std::optional<pid_t> read_pid_file(const std::string& path, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += kStepMs) {
    if (std::FILE* f = std::fopen(path.c_str(), "r")) {
      long pid = 0;
      const int n = std::fscanf(f, "%ld", &pid);
      std::fclose(f);
      if (n == 1 && pid > 0) return static_cast<pid_t>(pid);
    }
    sleep_ms(kStepMs);
  }
  return std::nullopt;
}

} // namespace bench
