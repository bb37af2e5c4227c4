// Receiving a connected stream socket that another process offers on a
// local socket path. The offering process listens on the path; we connect
// and take the descriptor from an SCM_RIGHTS message that comes with one
// data byte. Both the connect and the receive wait a bounded time, so a
// missing offer ends the caller's start-up instead of hanging it.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/session.h"
#include "socket_io.h"

namespace {

constexpr int kConnectWaitMs = 3000;
constexpr int kConnectRetryMs = 100;
constexpr int kReceiveWaitMs = 3000;

void pause_ms(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// The offer may not be listening yet: retry while the path is missing or
// refuses, until the connect wait runs out.
int connect_to_offer(const char* path) {
  const int64_t deadline = session_io::monotonic_ms() + kConnectWaitMs;
  for (;;) {
    const int fd = s_create_client_socket();
    if (fd < 0) {
      return -1;
    }
    if (s_connect_serv(fd, path) == 0) {
      return fd;
    }
    const int err = errno;
    close(fd);
    if (err != ENOENT && err != ECONNREFUSED && err != EAGAIN && err != EINTR) {
      return -1;
    }
    if (session_io::monotonic_ms() + kConnectRetryMs > deadline) {
      return -1;
    }
    pause_ms(kConnectRetryMs);
  }
}

// What the caller streams on: a stream socket with a peer. A datagram
// socket, a listening or never connected one, or no socket at all is refused.
bool is_connected_stream_socket(int fd) {
  int type = 0;
  socklen_t len = sizeof type;
  sockaddr_storage peer{};
  socklen_t peer_len = sizeof peer;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM &&
         getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0;
}

// Takes the first passed descriptor of the message; any further ones are
// closed so that nothing leaks.
int take_descriptor(msghdr* msg) {
  int received = -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
      continue;
    }
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      if (received < 0) {
        received = fd;
      } else {
        close(fd);
      }
    }
  }
  return received;
}

} // namespace

int s_recv_sock(const char* path) {
  if (path == nullptr) {
    return -1;
  }
  const int conn = connect_to_offer(path);
  if (conn < 0) {
    return -1;
  }
  int result = -1;
  if (session_io::wait_for(conn, POLLIN, session_io::monotonic_ms() + kReceiveWaitMs)) {
    unsigned char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = -1;
    do {
      n = recvmsg(conn, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      result = take_descriptor(&msg);
      if (result >= 0 && ((msg.msg_flags & MSG_CTRUNC) != 0 || !is_connected_stream_socket(result))) {
        close(result);
        result = -1;
      }
    }
  }
  close(conn);
  return result;
}
