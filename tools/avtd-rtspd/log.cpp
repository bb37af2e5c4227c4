#include "log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace rtspd {

void open_log() { openlog("avtd-rtspd", LOG_PID, LOG_DAEMON); }

void note(const char* fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  std::fprintf(stderr, "avtd-rtspd: %s\n", text);
  syslog(LOG_INFO, "%s", text);
}

} // namespace rtspd
