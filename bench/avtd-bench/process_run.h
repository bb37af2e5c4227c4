// Starting the processes under measurement and collecting them again. The
// benchmark is a child subreaper, so a daemon that forks away becomes its
// child and its end (with its resource usage) can be collected.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace bench {

// Adopt orphaned descendants; false when the kernel refuses.
bool become_subreaper();

// Runs argv[0] (looked up in PATH) with standard input from /dev/null and
// standard output and error written to log_path (emptied first), with
// `environment` ("NAME=value") added to ours. The child shares our memory
// until it runs its program (posix_spawn), so none of the benchmark's own
// memory is copied or torn down on its account. -1 when it cannot start.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path,
            const std::vector<std::string>& environment = {});

struct ended {
  int status = 0; // as from waitpid
  rusage usage{};
  double cpu_ms() const;
  bool clean() const; // exited with status 0
};

// Waits up to timeout_ms for the child to end.
std::optional<ended> reap(pid_t pid, int timeout_ms);

// SIGTERM, up to timeout_ms for it to end, then SIGKILL.
std::optional<ended> stop(pid_t pid, int timeout_ms);

void sleep_ms(int ms);


} // namespace bench
