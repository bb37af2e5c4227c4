// Local stream sockets: create, connect, and whole-buffer reads and writes
// with a bounded wait. Only async-signal-safe calls are used here, because
// s_remove_session runs these from the daemon's signal handler.
#include "socket_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>

#include "platform/session.h"

namespace session_io {

int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool wait_for(int fd, short events, int64_t deadline_ms) {
  for (;;) {
    const int64_t left = deadline_ms - monotonic_ms();
    if (left <= 0) {
      return false;
    }
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) {
      // Errors and hang-ups are reported by the read or write that follows.
      return true;
    }
    if (n < 0 && errno != EINTR) {
      return false;
    }
  }
}

bool fill_address(const char* path, sockaddr_un* addr, socklen_t* len) {
  const size_t n = std::strlen(path);
  if (n == 0 || n >= sizeof(addr->sun_path)) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path, n);
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
  return true;
}

int write_all(int fd, const void* buf, int len, int64_t deadline_ms) {
  if (fd < 0 || len < 0 || (buf == nullptr && len > 0)) {
    errno = EINVAL;
    return -1;
  }
  const auto* p = static_cast<const unsigned char*>(buf);
  int done = 0;
  while (done < len) {
    if (!wait_for(fd, POLLOUT, deadline_ms)) {
      errno = ETIMEDOUT;
      return -1;
    }
    const ssize_t n = send(fd, p + done, static_cast<size_t>(len - done), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      return -1;
    }
    done += static_cast<int>(n);
  }
  return done;
}

int read_all(int fd, void* buf, int len, int64_t deadline_ms) {
  if (fd < 0 || len < 0 || (buf == nullptr && len > 0)) {
    errno = EINVAL;
    return -1;
  }
  auto* p = static_cast<unsigned char*>(buf);
  int done = 0;
  while (done < len) {
    if (!wait_for(fd, POLLIN, deadline_ms)) {
      errno = ETIMEDOUT;
      return -1;
    }
    const ssize_t n = recv(fd, p + done, static_cast<size_t>(len - done), MSG_DONTWAIT);
    if (n == 0) {
      errno = ECONNRESET; // the peer closed before the whole message came
      return -1;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      return -1;
    }
    done += static_cast<int>(n);
  }
  return done;
}

} // namespace session_io

int s_create_client_socket() { return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int s_connect_serv(int fd, const char* path) {
  if (fd < 0 || path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  sockaddr_un addr{};
  socklen_t len = 0;
  if (!session_io::fill_address(path, &addr, &len)) {
    return -1;
  }
  // A service whose listen queue is full holds a blocking connect until it
  // accepts. The kernel bounds the connect of a local stream socket by the
  // send time-out, so one is set for the connect and lifted afterwards.
  const timeval bound{session_io::kIoTimeoutMs / 1000, 0};
  const timeval none{0, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  const int result = connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0 ? 0 : -1;
  const int saved_errno = errno;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  errno = saved_errno;
  return result;
}

int s_write_data(int fd, const void* buf, int len) {
  return session_io::write_all(fd, buf, len, session_io::monotonic_ms() + session_io::kIoTimeoutMs);
}

int s_read_data(int fd, void* buf, int len) {
  return session_io::read_all(fd, buf, len, session_io::monotonic_ms() + session_io::kIoTimeoutMs);
}
