// How soon a reader waiting in another process gets a block after the
// producer published it. Usage: framestore_wakeup [frames] [interval_us]
// Prints p50, p99 and max of the wake-up latency; asserts nothing.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/framestore.h"
#include "platform/framestore_producer.h"

namespace {

constexpr int kNumber = 100;
constexpr uint32_t kFrameSize = 4096;

long long now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

// Reads `frames` blocks, each stamped by the producer with its publication
// time, and prints the latency figures.
int run_reader(const std::string& path, int frames, int ready_fd) {
  shm_handle h;
  if (shm_attach(path.c_str(), kNumber, &h) != 0) {
    std::perror("shm_attach");
    return 1;
  }
  std::vector<uint8_t> buf(kFrameSize);
  std::vector<long long> latency;
  latency.reserve(static_cast<size_t>(frames));
  int rp = 0;
  (void)!write(ready_fd, "r", 1);
  int failures = 0;
  while (static_cast<int>(latency.size()) < frames && failures < 10) {
    shm_blockinfo info{};
    const int n = shm_read_data_blockinfo(buf.data(), static_cast<int>(buf.size()), &info, &h, &rp, 0);
    const long long got = now_ns();
    if (n < static_cast<int>(sizeof(long long))) {
      ++failures;
      continue;
    }
    long long sent = 0;
    std::memcpy(&sent, buf.data(), sizeof sent);
    latency.push_back(got - sent);
  }
  shm_detach(&h);
  if (latency.empty()) return 1;
  std::sort(latency.begin(), latency.end());
  auto at = [&](double q) { return latency[std::min(latency.size() - 1, static_cast<size_t>(q * latency.size()))]; };
  std::printf("framestore wake-up latency over %zu blocks (reader in another process):\n", latency.size());
  std::printf("  p50 %.1f us, p99 %.1f us, max %.1f us\n", at(0.50) / 1e3, at(0.99) / 1e3,
              latency.back() / 1e3);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  const int interval_us = argc > 2 ? std::max(0, std::atoi(argv[2])) : 1000;
  char dir[] = "/tmp/framestore_bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string path = std::string(dir) + "/store";

  framestore::Producer store;
  if (store.open(path.c_str(), kNumber, kCodecH264, {256, 4u << 20, kFrameSize}) != 0) {
    std::perror("open store");
    return 1;
  }
  int ready[2];
  if (pipe(ready) != 0) return 1;
  const pid_t child = fork();
  if (child == 0) {
    const int rc = run_reader(path, frames, ready[1]);
    std::fflush(stdout);
    _exit(rc);
  }
  char c;
  (void)!read(ready[0], &c, 1);
  usleep(100'000);  // let the reader reach its first wait

  std::vector<uint8_t> frame(kFrameSize, 0x5A);
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (int i = 0; i < frames; ++i) {
    next.tv_nsec += interval_us * 1000L;
    while (next.tv_nsec >= 1'000'000'000L) {
      next.tv_nsec -= 1'000'000'000L;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    const long long sent = now_ns();
    std::memcpy(frame.data(), &sent, sizeof sent);
    store.publish(frame, shm_blockinfo{});
  }
  int status = 0;
  waitpid(child, &status, 0);
  store.destroy();
  store.close();
  unlink(path.c_str());
  rmdir(dir);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
