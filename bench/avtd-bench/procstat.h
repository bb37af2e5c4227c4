// What /proc and the CPU clocks tell about another process: CPU time of the
// whole process and of one thread, peak and own resident memory, and the
// UDP datagrams this network namespace has sent.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace bench {

int64_t monotonic_ns();
int64_t realtime_ns();

// CPU time of every thread of the process, the ones that ended included;
// -1 once it is gone.
int64_t process_cpu_ns(pid_t pid);
// CPU time of one thread (its scheduler statistics); -1 when gone.
int64_t thread_cpu_ns(pid_t pid, pid_t tid);
// The process's threads in creation order (ascending ids).
std::vector<pid_t> threads_of(pid_t pid);
// VmHWM of /proc/<pid>/status in KiB; -1 when gone.
int64_t peak_resident_kib(pid_t pid);

// Memory the process does not share with others, in KiB: every resident page
// of its private mappings (heap, stacks, the executable, anonymous memory),
// but of shared libraries only the pages it wrote; shared mappings (such as
// the frame store) and the kernel's vdso pages do not count. -1 when gone.
int64_t own_memory_kib(pid_t pid);

// Datagrams sent by UDP over IPv4 in the namespace of the calling process
// (OutDatagrams of /proc/self/net/snmp).
class udp_out_counter {
 public:
  udp_out_counter();
  ~udp_out_counter();
  udp_out_counter(const udp_out_counter&) = delete;
  udp_out_counter& operator=(const udp_out_counter&) = delete;
  uint64_t read() const; // IPv4 and IPv6 together

 private:
  uint64_t read_ipv6() const;
  int fd_ = -1;
  int fd6_ = -1;
};

} // namespace bench
