// Sending and receiving one message on its own connection.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "event/ipc_check.h"
#include "event/ipc_log.h"

namespace {

using steady = std::chrono::steady_clock;

// Waits until fd is ready for `events` or the deadline passes. false on
// time-out (errno ETIMEDOUT) or error.
bool wait_ready(int fd, short events, steady::time_point deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready > 0) {
      return true;
    }
    if (ready == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

class connection {
 public:
  explicit connection(int fd) : fd_(fd) {}
  ~connection() { ::close(fd_); }
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

} // namespace

int IPC_iReceive(ipc_handle handle, void* buffer, uint32_t* length, uint32_t capacity) {
  if (buffer == nullptr || length == nullptr || handle == 0) {
    IPC_LOG("Arguments are invalid [ErrID=%d]\n", kIpcErrIdArgument);
    return kIpcBadArgument;
  }
  pollfd p{handle, POLLIN, 0};
  const int waiting = ::poll(&p, 1, 0);
  if (waiting < 0 || (waiting > 0 && (p.revents & POLLNVAL) != 0)) {
    return kIpcBadArgument;
  }
  if (waiting == 0) {
    return kIpcNothingPending;
  }
  sockaddr_storage peer;
  socklen_t peer_length = sizeof peer;
  const int fd = ::accept4(handle, reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return kIpcNothingPending; // the peer gave up between the wait and the accept
    }
    IPC_LOG("sock accept failure [errno=%d]\n", errno);
    return kIpcReceiveFailed;
  }
  const connection conn(fd);

  auto* bytes = static_cast<unsigned char*>(buffer);
  const auto deadline = steady::now() + std::chrono::milliseconds(kIpcTransferTimeoutMs);
  uint32_t received = 0;
  uint32_t expected = 0;
  bool header_read = false;
  while (received < capacity) {
    // A peer that connects and then stays silent costs at most the transfer time-out.
    if (!wait_ready(conn.fd(), POLLIN, deadline)) {
      IPC_LOG("sock recv failure [errno=%d]\n", errno);
      return kIpcReceiveFailed;
    }
    const ssize_t n = ::recv(conn.fd(), bytes + received, capacity - received, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      IPC_LOG("sock recv failure [errno=%d]\n", errno);
      return kIpcReceiveFailed;
    }
    if (n == 0) {
      IPC_LOG("DISCONNECT IPC\n");
      if (received == 0) {
        break;
      }
      return kIpcReceiveFailed;
    }
    received += static_cast<uint32_t>(n);
    if (!header_read && received >= kIpcHeaderSize) {
      expected = ipc_get_le32(bytes, kIpcOffLength);
      header_read = true;
    }
    if (!header_read || expected > received) {
      continue;
    }
    if (expected == received) {
      break;
    }
    IPC_LOG("Receive Size over [recv=%d][expect=%lu] \n", static_cast<int>(received),
            static_cast<unsigned long>(expected));
    return kIpcReceiveFailed;
  }
  *length = capacity;
  if (expected == 0 || expected > capacity) {
    IPC_LOG("receive failure [length=%ul][Max=%ui]\n", expected, capacity);
    return kIpcBadLength;
  }
  const int valid = IPC_iCheckID(bytes);
  if (valid != 0) {
    IPC_LOG("ID is invalid\n");
    return valid;
  }
  return 0;
}

int IPC_iSend(ipc_handle handle, void* message, uint32_t length) {
  // A message shorter than its header has no place for the length word.
  if (message == nullptr || length < kIpcHeaderSize) {
    IPC_LOG("Arguments are invalid [ErrID=%d]\n", kIpcErrIdArgument);
    return kIpcBadArgument;
  }
  auto* bytes = static_cast<unsigned char*>(message);
  ipc_put_le32(bytes, kIpcOffLength, length);
  const int valid = IPC_iCheckID(bytes);
  if (valid != 0) {
    IPC_LOG("ID is invalid\n");
    return valid;
  }
  // The whole message or a failure: a partial send would leave the receiver
  // with a message it must refuse while the sender counted it as sent.
  const auto deadline = steady::now() + std::chrono::milliseconds(kIpcTransferTimeoutMs);
  uint32_t sent = 0;
  while (sent < length) {
    const ssize_t n = ::send(handle, bytes + sent, length - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
        wait_ready(handle, POLLOUT, deadline)) {
      continue;
    }
    IPC_LOG("sock send failure [ret=%d][errno=%d]\n", static_cast<int>(n), errno);
    return kIpcConnectFailed;
  }
  return 0;
}
