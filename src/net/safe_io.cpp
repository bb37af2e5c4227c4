// Send and receive after waiting for the descriptor up to a time-out.
//
// The wait uses poll rather than select: select cannot take a descriptor at
// or above FD_SETSIZE and would write past its set. A poll on a closed
// descriptor reports EBADF just as select does, and a wait cut short by a
// signal resumes with the time that is left, so a keep-alive signal never
// turns into a failed send.
#include "net/network.h"
#include "support/log.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

static constexpr char kLogUnit[] = "network";

namespace {

using Clock = struct timespec;

Clock now() {
  Clock t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

// Whole milliseconds from `now` until `deadline`, rounded up, 0 when past.
int ms_until(const Clock& deadline) {
  const Clock t = now();
  const long long ns = (static_cast<long long>(deadline.tv_sec) - t.tv_sec) * 1000000000LL + (deadline.tv_nsec - t.tv_nsec);
  if (ns <= 0) return 0;
  const long long ms = (ns + 999999) / 1000000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

Clock deadline_after(const struct timeval& timeout) {
  Clock d = now();
  const long long sec = timeout.tv_sec < 0 ? 0 : timeout.tv_sec;
  const long long usec = timeout.tv_usec < 0 ? 0 : timeout.tv_usec;
  d.tv_sec += static_cast<time_t>(sec + usec / 1000000);
  d.tv_nsec += static_cast<long>((usec % 1000000) * 1000);
  if (d.tv_nsec >= 1000000000L) {
    d.tv_sec += 1;
    d.tv_nsec -= 1000000000L;
  }
  return d;
}

// Waits until `fd` is ready for `events` or the deadline passes (no deadline:
// no limit). Returns 1 ready, 0 timed out, -1 error with errno set.
int wait_until(int fd, short events, const Clock* deadline) {
  if (fd < 0) { // poll would skip it and wait out the whole time-out
    errno = EBADF;
    return -1;
  }
  struct pollfd p {};
  p.fd = fd;
  p.events = events;
  for (;;) {
    p.revents = 0;
    const int r = ::poll(&p, 1, deadline != nullptr ? ms_until(*deadline) : -1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return r;
    if (p.revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
    return 1;
  }
}

int wait_for(int fd, short events, const struct timeval* timeout) {
  if (timeout == nullptr) return wait_until(fd, events, nullptr);
  const Clock deadline = deadline_after(*timeout);
  return wait_until(fd, events, &deadline);
}

} // namespace

ssize_t safe_send(int fd, const void* buf, size_t len, int flags, const struct timeval* timeout) {
  const bool at_once = timeout != nullptr && timeout->tv_sec == 0 && timeout->tv_usec == 0;
  if (!at_once) {
    const int ready = wait_for(fd, POLLOUT, timeout);
    if (ready <= 0) return ready;
  }
  const ssize_t sent = ::send(fd, buf, len, flags);
  if (sent < 0) LOG_UNIT(LOG_INFO, "send error(%s)", std::strerror(errno));
  return sent;
}

ssize_t safe_recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* from, socklen_t fromlen,
                      const struct timeval* timeout) {
  const int ready = wait_for(fd, POLLIN, timeout);
  if (ready <= 0) return ready;
  socklen_t local_len = fromlen;
  return ::recvfrom(fd, buf, len, flags, from, from != nullptr ? &local_len : nullptr);
}

size_t send_all_within(int fd, std::span<const iovec> parts, int timeout_ms) {
  std::array<iovec, kMaxSendParts> iov{};
  if (parts.size() > iov.size()) {
    errno = EINVAL;
    return 0;
  }
  std::copy(parts.begin(), parts.end(), iov.begin());
  size_t total = 0;
  for (const iovec& part : parts) total += part.iov_len;
  const struct timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const Clock deadline = deadline_after(timeout);

  size_t first = 0;
  size_t sent = 0;
  while (sent < total) {
    const int ready = wait_until(fd, POLLOUT, &deadline);
    if (ready < 0) return sent;
    if (ready == 0) {
      errno = ETIMEDOUT;
      return sent;
    }
    // Never block inside the send: a blocking send of more than the free
    // buffer space would outlast the deadline.
    msghdr msg{};
    msg.msg_iov = &iov[first];
    msg.msg_iovlen = parts.size() - first;
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return sent;
    }
    sent += static_cast<size_t>(n);
    // Drop the bytes sent from the front of the parts.
    for (size_t left = static_cast<size_t>(n); left > 0 || (first < parts.size() && iov[first].iov_len == 0);) {
      const size_t step = std::min(left, iov[first].iov_len);
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + step;
      iov[first].iov_len -= step;
      left -= step;
      if (iov[first].iov_len == 0) ++first;
    }
  }
  return sent;
}
