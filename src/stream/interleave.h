// The one TCP connection that the stream thread and the RTCP thread share
// with rtp_tcp. Every framed packet goes out whole under one lock, so the
// other thread's bytes can never land inside it, and the descriptor is closed
// exactly once however many of the threads let go of it.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <span>

inline constexpr int kInterleaveSendTimeoutMs = 5000;

// Forget an earlier close; called before a stream's threads start.
void interleave_reset();

// Sends all parts as one frame within timeout_ms. Returns the bytes sent; 0
// when nothing could be sent in time; -1 with errno on failure (EBADF once the
// connection was closed). A frame cut short by an error or the time-out would
// leave the receiver misframed for good, so the connection is shut down then
// (errno ETIMEDOUT for the time-out).
ssize_t interleave_send(int fd, std::span<const iovec> parts, int timeout_ms);

// Closes fd unless it was already closed through here.
void interleave_close(int fd);
