#include "machine.h"

#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

namespace bench {

namespace {

constexpr int kCalls = 20000;
constexpr int kPages = 256;
constexpr int kRounds = 8;
constexpr long kPageSize = 4096;

int64_t own_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

} // namespace

machine_costs measure_machine() {
  machine_costs m;
  int64_t start = own_cpu_ns();
  for (int i = 0; i < kCalls; ++i) (void)getppid();
  m.syscall_us = static_cast<double>(own_cpu_ns() - start) / 1e3 / kCalls;

  int64_t faults_ns = 0;
  for (int round = 0; round < kRounds; ++round) {
    void* p = mmap(nullptr, kPages * kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return m;
    auto* bytes = static_cast<volatile char*>(p);
    start = own_cpu_ns();
    for (int page = 0; page < kPages; ++page) bytes[page * kPageSize] = 1;
    faults_ns += own_cpu_ns() - start;
    munmap(p, kPages * kPageSize);
  }
  m.page_fault_us = static_cast<double>(faults_ns) / 1e3 / (kPages * kRounds);
  return m;
}

} // namespace bench
