#include "event/ipc_fdpass.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "event/ipc_defs.h"
#include "event/ipc_file.h"
#include "event/ipc_log.h"
#include "event/ipc_memory.h"

namespace {

constexpr int kListenBacklog = 10;
constexpr int kAttempts = 6;
constexpr useconds_t kAttemptPauseUs = 500000;
constexpr char kGreeting[] = "OnvifOK"; // sent without its terminator
constexpr size_t kGreetingLength = sizeof kGreeting - 1;
constexpr size_t kReceiveDataSize = 31;
// One descriptor's control message: 16 bytes on 32-bit ARM, 20 on 64-bit hosts.
constexpr size_t kFdControlLength = CMSG_LEN(sizeof(int));

// The socket address of the path; false when the path does not fit.
bool socket_address(sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  char* path = ipc_make_path(kIpcScmRightsName);
  if (path == nullptr) {
    return false;
  }
  const bool fits = std::strlen(path) < sizeof address->sun_path;
  if (fits) {
    std::memcpy(address->sun_path, path, std::strlen(path) + 1);
  }
  IPC_vFreeAs(&path);
  return fits;
}

union control_buffer {
  cmsghdr header;
  unsigned char bytes[CMSG_SPACE(sizeof(int))];
};

// Closes every descriptor a refused message brought along.
void close_passed(msghdr* msg) {
  for (cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len >= CMSG_LEN(0)) {
      const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        if (fd >= 0) {
          ::close(fd);
        }
      }
    }
  }
}

} // namespace

int IPC_iUDOpen(int mode, int* sock) {
  if (sock == nullptr || mode < 0 || mode >= 2) {
    IPC_LOG("[%d][%p]\n", mode, static_cast<void*>(sock));
    return kIpcInvalid;
  }
  sockaddr_un address;
  if (!socket_address(&address)) {
    IPC_LOG("[%d]\n", ENAMETOOLONG);
    return kIpcInvalid;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    IPC_LOG("[%d]\n", errno);
    return kIpcInvalid;
  }
  const auto* sa = reinterpret_cast<const sockaddr*>(&address);
  if (mode == kIpcUDListen) {
    ::unlink(address.sun_path);
    if (::bind(fd, sa, sizeof address) != 0) {
      IPC_LOG("[%d]\n", errno);
      ::close(fd);
      return kIpcInvalid;
    }
    if (::listen(fd, kListenBacklog) != 0) {
      IPC_LOG("[%d]\n", errno);
      ::close(fd);
      ::unlink(address.sun_path);
      return kIpcInvalid;
    }
  } else {
    // A listener whose queue is full would hold a blocking connect until it
    // accepts; the kernel bounds a local connect by the send time-out.
    constexpr timeval kConnectBound{3, 0};
    constexpr timeval kNoBound{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kConnectBound, sizeof kConnectBound);
    if (::connect(fd, sa, sizeof address) != 0) {
      IPC_LOG("[%d]\n", errno);
      ::close(fd);
      return kIpcInvalid;
    }
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kNoBound, sizeof kNoBound);
  }
  *sock = fd;
  return 0;
}

int IPC_iUDSendFD(int listen_sock, int fd, int timeout_ms) {
  if (listen_sock < 0 || fd < 0 || timeout_ms < 0) {
    IPC_LOG("[%d]\n", kIpcInvalid);
    return kIpcInvalid;
  }
  pollfd p{listen_sock, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&p, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0 || (ready > 0 && (p.revents & POLLNVAL) != 0)) {
    return kIpcInvalid;
  }
  if (ready == 0) {
    IPC_LOG("FD Trans timeout (not connected)\n");
    return kIpcHandOverTimeout;
  }
  const int conn = ::accept4(listen_sock, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn < 0) {
    return kIpcInvalid;
  }
  char data[kGreetingLength];
  std::memcpy(data, kGreeting, kGreetingLength);
  iovec iov{data, kGreetingLength};
  control_buffer control;
  std::memset(&control, 0, sizeof control);
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.bytes;
  msg.msg_controllen = CMSG_SPACE(sizeof(int));
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = kFdControlLength;
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (::sendmsg(conn, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
      ::close(conn);
      return 0;
    }
    ::usleep(kAttemptPauseUs);
  }
  const int err = errno;
  ::close(conn);
  IPC_LOG("[%d]\n", err);
  return kIpcInvalid;
}

int IPC_iUDReceiveFD(int sock, int* fd) {
  if (sock < 0 || fd == nullptr) {
    IPC_LOG("[%d]\n", kIpcInvalid);
    return kIpcInvalid;
  }
  char data[kReceiveDataSize];
  control_buffer control;
  msghdr msg{};
  iovec iov{};
  bool received = false;
  for (int attempt = 0; attempt < kAttempts && !received; ++attempt) {
    std::memset(data, 0, sizeof data);
    std::memset(&control, 0, sizeof control);
    iov = {data, sizeof data - 1};
    msg = msghdr{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof control.bytes;
    const ssize_t n = ::recvmsg(sock, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n > 0 && std::strcmp(data, kGreeting) == 0) {
      received = true;
      break;
    }
    if (n > 0) {
      close_passed(&msg);
    }
    ::usleep(kAttemptPauseUs);
  }
  if (!received) {
    ::usleep(kAttemptPauseUs);
    IPC_LOG("FD Trans timeout (not received)\n");
    return kIpcHandOverTimeout;
  }
  if (msg.msg_controllen < sizeof(cmsghdr) || (msg.msg_flags & MSG_CTRUNC) != 0) {
    IPC_LOG("[%p]\n", static_cast<void*>(msg.msg_control));
    close_passed(&msg);
    return kIpcInvalid;
  }
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS ||
      c->cmsg_len != kFdControlLength) {
    IPC_LOG("[%d][%d][%d]\n", c ? c->cmsg_level : -1, c ? c->cmsg_type : -1,
            c ? static_cast<int>(c->cmsg_len) : -1);
    close_passed(&msg);
    return kIpcInvalid;
  }
  int passed = -1;
  std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
  if (passed < 0) {
    return kIpcInvalid;
  }
  *fd = passed;
  return 0;
}

int IPC_iUDClose(int mode, int sock) {
  if (mode < 0 || mode > 1 || sock < 0) {
    IPC_LOG("[%d]\n", kIpcInvalid);
    return kIpcInvalid;
  }
  if (::close(sock) != 0) {
    IPC_LOG("[%d]\n", errno);
    return kIpcInvalid;
  }
  if (mode == kIpcUDListen) {
    sockaddr_un address;
    if (!socket_address(&address) || ::unlink(address.sun_path) != 0) {
      IPC_LOG("[%d]\n", errno);
      return kIpcInvalid;
    }
  }
  return 0;
}
