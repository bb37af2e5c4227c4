#include "avtd-sandbox/pid_range.h"

#include "avtd-sandbox/tool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace avtd_sandbox {

int claim_pid_range() {
  int pid_max = 0;
  std::ifstream("/proc/sys/kernel/pid_max") >> pid_max;
  // Range 0 holds the low pids every namespace starts with.
  const int ranges = pid_max / kPidRangeSize - 1;
  if (ranges < 1) {
    return 0;
  }
  ::mkdir("/run/lock", 01777);
  ::mkdir(kPidRangeLockDir, 0755);
  const int start = static_cast<int>(::getpid()) % ranges;
  for (int i = 0; i < ranges; ++i) {
    const int range = (start + i) % ranges + 1;
    const std::string path = std::string(kPidRangeLockDir) + "/range-" + std::to_string(range);
    int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0) {
      return 0;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      return range * kPidRangeSize; // fd deliberately left open: it is the claim
    }
    ::close(fd);
  }
  return 0;
}

bool start_pids_at(int first) {
  // The kernel hands out the pid after the last one.
  return write_file("/proc/sys/kernel/ns_last_pid", std::to_string(first - 1));
}

} // namespace avtd_sandbox
