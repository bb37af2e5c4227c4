// Opening, waiting on and closing endpoints.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "event/ipc_addrfile.h"
#include "event/ipc_channel.h"
#include "event/ipc_check.h"
#include "event/ipc_file.h"
#include "event/ipc_log.h"
#include "event/ipc_memory.h"

namespace {

constexpr int kListenBacklog = 5;
constexpr int kReceiveBufferSize = static_cast<int>(kIpcMaxMessage);

// The loopback address of the family with the given port.
socklen_t loopback_address(int family, int port, sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  if (family == AF_INET6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(out);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    a6->sin6_addr = in6addr_loopback;
    return sizeof(sockaddr_in6);
  }
  auto* a4 = reinterpret_cast<sockaddr_in*>(out);
  a4->sin_family = AF_INET;
  a4->sin_port = htons(static_cast<uint16_t>(port));
  a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sizeof(sockaddr_in);
}

int port_of(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  }
  return -1;
}

// Handle 0 means "no handle": a socket that came out as descriptor 0 (the
// standard input was closed) is moved so that it can be held.
int socket_for_handle(int family) {
  if (family != AF_INET && family != AF_INET6) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == 0) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    fd = moved;
  }
  if (fd > 0xFFFF) {
    ::close(fd);
    errno = EMFILE;
    return -1;
  }
  return fd;
}

int open_listening(int fd, int family, uint32_t id, const char* path) {
  sockaddr_storage address;
  const socklen_t length = loopback_address(family, 0, &address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    IPC_LOG_AS("IPC_iOpen", "sock bind failure [errno=%d]\n", errno);
    return kIpcBadArgument;
  }
  if (::listen(fd, kListenBacklog) != 0) {
    IPC_LOG_AS("IPC_iOpen", "sock listen failure [errno=%d]\n", errno);
    return kIpcBadArgument;
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferSize, sizeof kReceiveBufferSize) != 0) {
    IPC_LOG_AS("IPC_iOpen", "sock setsockopt failure [errno=%d]\n", errno);
    return kIpcBadArgument;
  }
  // Accepting never blocks: a connection that vanished between the wait and
  // the accept then reads as "nothing pending" instead of stalling the caller.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    IPC_LOG_AS("IPC_iOpen", "sock setsockopt failure [errno=%d]\n", errno);
    return kIpcBadArgument;
  }
  sockaddr_storage bound;
  std::memset(&bound, 0, sizeof bound);
  socklen_t bound_length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_length) != 0) {
    IPC_LOG_AS("IPC_iOpen", "sock getsockname failure [errno=%d]\n", errno);
    return kIpcBadArgument;
  }
  const int port = port_of(bound);
  if (port < 0) {
    IPC_LOG_AS("IPC_iOpen", "sock net_getaddrstr failure [errno=%d]\n", errno);
    return kIpcBadArgument;
  }
  if (ipc_register_endpoint(path, id, port) != 0) {
    IPC_LOG_AS("IPC_iOpen", "cannot open the file [ErrID=%d][path=%s]\n", kIpcErrIdArgument, path);
    return kIpcBadArgument;
  }
  return 0;
}

// Waits for a non-blocking connect; the connection counts only when the
// socket reports no error at all.
bool finish_connect(int fd) {
  pollfd p{fd, POLLOUT, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIpcConnectTimeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      if (ready == 0) {
        errno = ETIMEDOUT;
      }
      return false;
    }
    break;
  }
  int error = 0;
  socklen_t error_length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_length) != 0) {
    return false;
  }
  if (error != 0) {
    errno = error;
    return false;
  }
  return true;
}

int open_connecting(int fd, int family, uint32_t id, const char* path) {
  int port = 0;
  if (ipc_lookup_port(path, id, &port) != 0) {
    IPC_LOG_AS("IPC_iOpen", "cannot open the file [ErrID=%d][path=%s]\n", kIpcErrIdArgument, path);
    return kIpcBadArgument;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    IPC_LOG_AS("IPC_iOpen", "sock setsockopt failure [ErrID=%d][errno=%d]\n", kIpcInvalid, errno);
    return kIpcConnectFailed;
  }
  sockaddr_storage address;
  const socklen_t length = loopback_address(family, port, &address);
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
    connected = finish_connect(fd);
  }
  if (connected && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    connected = false;
  }
  if (!connected) {
    IPC_LOG_AS("IPC_iOpen", "sock connect failure [ErrID=%d][errno=%d]\n", kIpcInvalid, errno);
    return kIpcConnectFailed;
  }
  return 0;
}

} // namespace

int IPC_iOpen(uint32_t id, int mode, ipc_handle* handle) {
  if (!ipc_open_id_allowed(id)) {
    IPC_LOG("Invalid ID [%u]\n", id);
    return kIpcBadArgument;
  }
  if (handle == nullptr) {
    IPC_LOG("Arguments are invalid [ErrID=%d]\n", kIpcErrIdArgument);
    return kIpcBadArgument;
  }
  char* path = ipc_make_path(kIpcAddressFileName);
  if (path == nullptr) {
    IPC_LOG("Memory Empty [ErrID=%d]\n", kIpcErrIdMemory);
    return kIpcBadArgument;
  }
  const int family = ipc_read_family(path);
  if (family < 0) {
    IPC_vFreeAs(&path);
    return kIpcBadArgument;
  }
  const int fd = socket_for_handle(family);
  if (fd < 0) {
    IPC_LOG("sock open failed [errno=%d]\n", errno);
    IPC_vFreeAs(&path);
    return kIpcBadArgument;
  }
  const int result = mode == kIpcModeListen ? open_listening(fd, family, id, path)
                                            : open_connecting(fd, family, id, path);
  IPC_vFreeAs(&path);
  if (result != 0) {
    ::close(fd);
    return result;
  }
  *handle = static_cast<ipc_handle>(fd);
  return 0;
}

int IPC_iSelect(ipc_handle handle, int timeout_ms) {
  if (handle == 0 || timeout_ms < 0) {
    IPC_LOG("Arguments are invalid [ErrID=%d]\n", kIpcErrIdArgument);
    return kIpcBadArgument;
  }
  // poll rather than select: any descriptor value is safe to wait on.
  pollfd p{handle, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready < 0 && errno == EINTR) {
      continue; // a signal is no failure; wait out the rest of the time-out
    }
    if (ready > 0 && (p.revents & POLLNVAL) != 0) {
      errno = EBADF;
    }
    if (ready < 0 || (ready > 0 && (p.revents & POLLNVAL) != 0)) {
      IPC_LOG("sock select failure [ID=%d][errno=%d]\n", handle, errno);
      return kIpcBadArgument;
    }
    return ready == 0 ? kIpcNothingPending : 0;
  }
}

int IPC_iClose(ipc_handle handle) {
  if (handle == 0) {
    IPC_LOG("Arguments are invalid [ErrID=%d]\n", kIpcErrIdArgument);
    return kIpcCloseNoHandle;
  }
  ::close(handle);
  return 0;
}
