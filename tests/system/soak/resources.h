// The daemon's resident memory and open descriptors, sampled from /proc
// while a soak runs.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace soak {

using namespace std::chrono_literals;

struct resource_sample {
  long rss_kib = 0;
  int fds = 0;
};

// VmRSS and the entries of /proc/<pid>/fd; nothing once the process is gone.
inline std::optional<resource_sample> sample_resources(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  std::ifstream status(dir + "/status");
  resource_sample s;
  bool have_rss = false;
  for (std::string line; std::getline(status, line);) {
    if (std::sscanf(line.c_str(), "VmRSS: %ld kB", &s.rss_kib) == 1) {
      have_rss = true;
      break;
    }
  }
  DIR* fds = have_rss ? opendir((dir + "/fd").c_str()) : nullptr;
  if (fds == nullptr) return std::nullopt;
  while (const dirent* entry = readdir(fds)) s.fds += entry->d_name[0] != '.' ? 1 : 0;
  closedir(fds);
  return s;
}

// Samples once a second on a thread of its own and keeps the extremes, so
// that a leak that comes and goes between the checked points still shows.
class resource_sampler {
 public:
  explicit resource_sampler(pid_t pid) : pid_(pid), thread_([this] { run(); }) {}
  ~resource_sampler() {
    stop_.store(true);
    thread_.join();
  }

  resource_sample peak() const {
    std::lock_guard lock(mutex_);
    return peak_;
  }

 private:
  void run() {
    while (!stop_.load()) {
      if (const auto s = sample_resources(pid_)) {
        std::lock_guard lock(mutex_);
        peak_.rss_kib = std::max(peak_.rss_kib, s->rss_kib);
        peak_.fds = std::max(peak_.fds, s->fds);
      }
      for (int i = 0; i < 10 && !stop_.load(); ++i) std::this_thread::sleep_for(100ms);
    }
  }

  pid_t pid_;
  mutable std::mutex mutex_;
  resource_sample peak_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace soak
