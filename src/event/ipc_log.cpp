#include "event/ipc_log.h"

#include <cstdarg>
#include <cstdio>

int IPC_vLog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = std::vfprintf(stdout, format, args);
  va_end(args);
  // Flushed at once so that the lines interleave correctly with other output
  // and are not lost when the process ends abruptly.
  std::fflush(stdout);
  va_start(args, format);
  ::vsyslog(priority, format, args);
  va_end(args);
  return written;
}
