// The event IPC library's own log: every message goes to standard output and
// to syslog at LOG_NOTICE, prefixed "[L1][file:ONVIFEventIPC][func:<f>][line:<n>]".
#pragma once

#include <syslog.h>

inline constexpr char kIpcLogFile[] = "ONVIFEventIPC";
inline constexpr int kIpcLogPriority = LOG_NOTICE;

// Returns the result of the standard-output write.
int IPC_vLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// IPC_LOG("sock connect failure [ErrID=%d][errno=%d]\n", -1, errno) from inside
// IPC_iOpen gives "[L1][file:ONVIFEventIPC][func:IPC_iOpen][line:..]sock connect ...".
#define IPC_LOG_AS(func, fmt, ...)                                                                \
  ::IPC_vLog(kIpcLogPriority, "[L1][file:%s][func:%s][line:%d]" fmt, kIpcLogFile, (func), __LINE__ \
                 __VA_OPT__(, ) __VA_ARGS__)
#define IPC_LOG(fmt, ...) IPC_LOG_AS(__func__, fmt __VA_OPT__(, ) __VA_ARGS__)
