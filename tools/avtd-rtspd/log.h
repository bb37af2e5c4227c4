// avtd-rtspd's own messages: standard error and syslog ("avtd-rtspd").
#pragma once

namespace rtspd {

void open_log();
void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace rtspd
