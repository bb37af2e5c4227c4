#include "avtd-sandbox/reaper.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

namespace avtd_sandbox {
namespace {

constexpr auto kPollStep = std::chrono::milliseconds(2);

// Parent pid from /proc/<pid>/stat; the command name may hold blanks and
// parentheses, so parse after the last ')'.
pid_t parent_of(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* f = std::fopen(path, "re");
  if (f == nullptr) {
    return -1;
  }
  char buf[1024];
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  const char* close = std::strrchr(buf, ')');
  if (close == nullptr) {
    return -1;
  }
  char state = 0;
  int ppid = -1;
  if (std::sscanf(close + 1, " %c %d", &state, &ppid) != 2) {
    return -1;
  }
  return static_cast<pid_t>(ppid);
}

std::multimap<pid_t, pid_t> children_by_parent() {
  std::multimap<pid_t, pid_t> tree;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) {
    return tree;
  }
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0) {
      continue;
    }
    pid_t parent = parent_of(static_cast<pid_t>(pid));
    if (parent > 0) {
      tree.emplace(parent, static_cast<pid_t>(pid));
    }
  }
  ::closedir(dir);
  return tree;
}

} // namespace

std::vector<pid_t> descendants_of(pid_t root) {
  const auto tree = children_by_parent();
  std::vector<pid_t> found;
  std::vector<pid_t> todo{root};
  // The tree is finite and pids are unique, but guard against a cycle from
  // pids reused while we read /proc.
  for (size_t steps = 0; !todo.empty() && steps < 100000; ++steps) {
    pid_t parent = todo.back();
    todo.pop_back();
    auto [first, last] = tree.equal_range(parent);
    for (auto it = first; it != last; ++it) {
      found.push_back(it->second);
      todo.push_back(it->second);
    }
  }
  return found;
}

size_t kill_descendants(std::chrono::milliseconds budget) {
  const pid_t self = ::getpid();
  const auto deadline = std::chrono::steady_clock::now() + budget;
  for (;;) {
    auto pids = descendants_of(self);
    for (pid_t pid : pids) {
      ::kill(pid, SIGKILL);
    }
    // Reap what has become ours; killed grandchildren come to us as zombies.
    int status = 0;
    while (::waitpid(-1, &status, WNOHANG) > 0) {
    }
    if (pids.empty() || std::chrono::steady_clock::now() > deadline) {
      return pids.size();
    }
    std::this_thread::sleep_for(kPollStep);
  }
}

} // namespace avtd_sandbox
