#include "process_run.h"

#include <fcntl.h>
#include <spawn.h>
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

pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path,
            const std::vector<std::string>& environment) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  for (const std::string& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &files, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&files);
  return rc == 0 ? pid : -1;
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

} // namespace bench
