// The daemon's two syslog message shapes, kept in one place.
//
// Every source file that logs defines its unit name once:
//     static constexpr char kLogUnit[] = "rtp";
// and then writes
//     LOG_UNIT(LOG_ERR, "add_session error");          -> "rtp : 123 : add_session error"
//     LOG_FUNC(LOG_ERR, "main", ": daemon error(%m)"); -> "main line 45 in main: daemon error(...)"
// LOG_FUNC's format starts with the separator because some messages have a
// blank before the colon and some do not.
#pragma once

#include <syslog.h>

#define LOG_UNIT(prio, fmt, ...) LOG_NAMED((prio), kLogUnit, " : " fmt __VA_OPT__(, ) __VA_ARGS__)

// The first shape for code that several units share, the unit's name given
// by the caller; as with LOG_FUNC the format starts with the separator:
//     LOG_NAMED(LOG_ERR, unit, "  : shm_read_data_blockinfo error");
#define LOG_NAMED(prio, unit, fmt, ...) \
  ::syslog((prio), "%s : %d" fmt, (unit), __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#define LOG_FUNC(prio, func, fmt, ...) \
  ::syslog((prio), "%s line %d in %s" fmt, (func), __LINE__, kLogUnit __VA_OPT__(, ) __VA_ARGS__)

// Precondition checks: a broken one aborts with the condition's text as the C
// library's assert would print it, e.g.
//     AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
// They stay active in release builds.
#define AVTD_ASSERT(cond, text) \
  ((cond) ? (void)0 : ::avtd_assert_fail((text), __FILE__, __LINE__, __func__))

[[noreturn]] void avtd_assert_fail(const char* expr, const char* file, int line, const char* func);
