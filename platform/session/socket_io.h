// Internals of the session-service library shared by its source files.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>

namespace session_io {

// No single read or write waits longer than this for a silent peer.
inline constexpr int kIoTimeoutMs = 5000;

int64_t monotonic_ms();
// true when fd became ready for events before the deadline.
bool wait_for(int fd, short events, int64_t deadline_ms);
// false (errno ENAMETOOLONG) when path is empty or does not fit.
bool fill_address(const char* path, sockaddr_un* addr, socklen_t* len);
// len on success, -1 on error, time-out or early end of stream.
int write_all(int fd, const void* buf, int len, int64_t deadline_ms);
int read_all(int fd, void* buf, int len, int64_t deadline_ms);

} // namespace session_io
