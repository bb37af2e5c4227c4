// A listening endpoint for the fuzz targets that receive: a local stream
// socket in the abstract namespace, so that the receive path (poll, accept,
// reads up to the header's length) runs as in the daemon without touching
// the address file or leaving a TIME_WAIT port behind per input.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#include "event/ipc_defs.h"
#include "fuzz_support.h"

class fuzz_endpoint {
 public:
  // A message longer than this is cut: the receiver never reads more than
  // its capacity anyway, and the peer must not block on a full socket.
  static constexpr size_t kMaxSend = kIpcMaxMessage + 4096;

  fuzz_endpoint() {
    std::snprintf(addr_.sun_path + 1, sizeof addr_.sun_path - 1, "avtd-fuzz-%d-%p", static_cast<int>(::getpid()),
                  static_cast<void*>(this));
    length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(addr_.sun_path + 1));
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_EXPECT(listener_ > 0 && listener_ <= 0xFFFF);
    FUZZ_EXPECT(::bind(listener_, reinterpret_cast<const sockaddr*>(&addr_), length_) == 0);
    FUZZ_EXPECT(::listen(listener_, 4) == 0);
  }
  ~fuzz_endpoint() { ::close(listener_); }
  fuzz_endpoint(const fuzz_endpoint&) = delete;
  fuzz_endpoint& operator=(const fuzz_endpoint&) = delete;

  ipc_handle handle() const { return static_cast<ipc_handle>(listener_); }

  // A peer connects, sends the message and closes its sending side. The
  // returned descriptor is the peer's; close it with finish() after the
  // receiver has run.
  int send(std::span<const uint8_t> message) {
    const int peer = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_EXPECT(peer >= 0);
    FUZZ_EXPECT(::connect(peer, reinterpret_cast<const sockaddr*>(&addr_), length_) == 0);
    if (message.size() > kMaxSend) message = message.first(kMaxSend);
    size_t sent = 0;
    while (sent < message.size()) {
      const ssize_t n = ::send(peer, message.data() + sent, message.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n <= 0) break; // the socket is full: the receiver gets what fitted
      sent += static_cast<size_t>(n);
    }
    ::shutdown(peer, SHUT_WR);
    return peer;
  }

  // Closes the peer and takes any connection the receiver left waiting.
  void finish(int peer) {
    ::close(peer);
    pollfd p{listener_, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) break;
      ::close(fd);
    }
  }

 private:
  sockaddr_un addr_{AF_UNIX, {}};
  socklen_t length_ = 0;
  int listener_ = -1;
};
