#include "stream/interleave.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/network.h"

namespace {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
bool g_closed = false; // guarded by g_lock

class lock_guard {
 public:
  lock_guard() { pthread_mutex_lock(&g_lock); }
  ~lock_guard() { pthread_mutex_unlock(&g_lock); }
  lock_guard(const lock_guard&) = delete;
  lock_guard& operator=(const lock_guard&) = delete;
};

} // namespace

void interleave_reset() {
  lock_guard hold;
  g_closed = false;
}

ssize_t interleave_send(int fd, std::span<const iovec> parts, int timeout_ms) {
  lock_guard hold;
  if (g_closed || fd < 0) {
    errno = EBADF;
    return -1;
  }
  size_t total = 0;
  for (const iovec& part : parts) total += part.iov_len;
  const size_t sent = send_all_within(fd, parts, timeout_ms);
  if (sent == total) return static_cast<ssize_t>(total);
  if (sent == 0 && errno == ETIMEDOUT) return 0;
  const int err = errno;
  if (sent > 0) shutdown(fd, SHUT_RDWR);
  errno = err;
  return -1;
}

void interleave_close(int fd) {
  lock_guard hold;
  if (g_closed || fd < 0) return;
  close(fd);
  g_closed = true;
}
