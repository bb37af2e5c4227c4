// The pid file that marks which stream this process serves.
#pragma once

#include <cstddef>

struct rtp_thread;

// Room for the longest name, that of any session id the options accept.
inline constexpr int kPidfilePathSize = 48;
static_assert(sizeof("/var/run/avtd_metadata_-2147483648.pid") <= kPidfilePathSize);
// create_pidfile: another live process already serves this stream.
inline constexpr int kPidfileOwnedByOther = 1;

// The path for the stream (multicast streams are named by channel, unicast
// ones by session id); the text is cut at size.
void pidfile_path_for(const rtp_thread* thread, char* path, size_t size);

// Computes this process's path and claims it: 0 when written,
// kPidfileOwnedByOther when a live process holds it, or a negative code
// (-1 unreadable, -2 holds no process id, -3 probe failed, -5 stale file not
// removable, -6 not writable). Logs its own messages.
int create_pidfile(const rtp_thread* thread);

// Removes the file at the computed path; failure is only logged.
void delete_pidfile();

// The signal handler's removal: only once this process has written the
// file, so that another process's pid file is never taken away.
// Async-signal-safe.
void delete_pidfile_from_signal();

const char* pidfile_path();
