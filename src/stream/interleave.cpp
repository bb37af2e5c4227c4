#include "stream/interleave.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

namespace {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
bool g_closed = false; // guarded by g_lock

constexpr int kMaxParts = 4;

int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class lock_guard {
 public:
  lock_guard() { pthread_mutex_lock(&g_lock); }
  ~lock_guard() { pthread_mutex_unlock(&g_lock); }
  lock_guard(const lock_guard&) = delete;
  lock_guard& operator=(const lock_guard&) = delete;
};

// Drops n sent bytes from the front of the iovec array.
void advance(std::array<iovec, kMaxParts>& iov, size_t& first, size_t count, size_t n) {
  while (n > 0 && first < count) {
    const size_t step = std::min(n, iov[first].iov_len);
    iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + step;
    iov[first].iov_len -= step;
    n -= step;
    if (iov[first].iov_len == 0) ++first;
  }
  while (first < count && iov[first].iov_len == 0) ++first;
}

ssize_t fail_frame(int fd, size_t sent, int err) {
  if (sent > 0) shutdown(fd, SHUT_RDWR);
  errno = err;
  return -1;
}

} // namespace

void interleave_reset() {
  lock_guard hold;
  g_closed = false;
}

ssize_t interleave_send(int fd, std::span<const iovec> parts, int timeout_ms) {
  lock_guard hold;
  if (g_closed || fd < 0 || parts.size() > kMaxParts) {
    errno = parts.size() > kMaxParts ? EINVAL : EBADF;
    return -1;
  }
  std::array<iovec, kMaxParts> iov{};
  size_t total = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    iov[i] = parts[i];
    total += parts[i].iov_len;
  }
  size_t first = 0;
  advance(iov, first, parts.size(), 0);

  const int64_t deadline = now_ms() + timeout_ms;
  size_t sent = 0;
  while (sent < total) {
    const int64_t left = deadline - now_ms();
    if (left <= 0) {
      if (sent == 0) return 0;
      return fail_frame(fd, sent, ETIMEDOUT);
    }
    pollfd pfd{fd, POLLOUT, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail_frame(fd, sent, errno);
    }
    if (ready == 0) continue; // the deadline check above ends it
    if (pfd.revents & POLLNVAL) return fail_frame(fd, sent, EBADF);

    msghdr msg{};
    msg.msg_iov = &iov[first];
    msg.msg_iovlen = parts.size() - first;
    const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return fail_frame(fd, sent, errno);
    }
    sent += static_cast<size_t>(n);
    advance(iov, first, parts.size(), static_cast<size_t>(n));
  }
  return static_cast<ssize_t>(total);
}

void interleave_close(int fd) {
  lock_guard hold;
  if (g_closed || fd < 0) return;
  close(fd);
  g_closed = true;
}
