// Connecting to the receiver and passing the connection on.
#include "handoff.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Poll in short slices so that a stop request is seen promptly.
constexpr int kPollSliceMs = 200;

bool wait_ready(int fd, short events, int64_t deadline_ms, const std::atomic<int>* stop) {
  for (;;) {
    if (stop != nullptr && stop->load() != 0) {
      return false;
    }
    const int64_t left = deadline_ms - now_ms();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left < kPollSliceMs ? left : kPollSliceMs));
    if (n > 0) {
      return true;
    }
    if (n < 0 && errno != EINTR) {
      return false;
    }
  }
}

} // namespace

int pass_descriptor(int conn, int fd, std::string_view greeting) {
  iovec iov{const_cast<char*>(greeting.data()), greeting.size()};
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  ssize_t n = -1;
  do {
    n = sendmsg(conn, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(greeting.size()) ? 0 : -1;
}

int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool parse_endpoint(const char* text, endpoint* out) {
  const std::string s = text;
  std::string host;
  std::string port;
  if (!s.empty() && s[0] == '[') {
    const size_t close = s.find(']');
    if (close == std::string::npos || close + 1 >= s.size() || s[close + 1] != ':') {
      return false;
    }
    host = s.substr(1, close - 1);
    port = s.substr(close + 2);
  } else {
    const size_t colon = s.rfind(':');
    if (colon == std::string::npos) {
      return false;
    }
    host = s.substr(0, colon);
    port = s.substr(colon + 1);
  }
  if (host.empty() || port.empty() || port.find_first_not_of("0123456789") != std::string::npos ||
      port.size() > 5 || std::stoul(port) == 0 || std::stoul(port) > 65535) {
    return false;
  }
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &result) != 0) {
    return false;
  }
  freeaddrinfo(result);
  out->host = host;
  out->port = port;
  return true;
}

int connect_tcp(const endpoint& peer, int64_t deadline_ms) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(peer.host.c_str(), peer.port.c_str(), &hints, &result) != 0) {
    return -1;
  }
  const int fd = socket(result->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int ok = -1;
  if (fd >= 0) {
    if (connect(fd, result->ai_addr, result->ai_addrlen) == 0) {
      ok = 0;
    } else if (errno == EINPROGRESS && wait_ready(fd, POLLOUT, deadline_ms, nullptr)) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      errno = err;
      ok = err == 0 ? 0 : -1;
    }
  }
  freeaddrinfo(result);
  if (ok != 0) {
    if (fd >= 0) {
      const int saved = errno;
      close(fd);
      errno = saved;
    }
    return -1;
  }
  // The daemon expects an ordinary blocking socket.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int offer_connection(const char* path, int tcp, int64_t deadline_ms, const std::atomic<int>& stop) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof addr.sun_path) {
    return -1;
  }
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    return -1;
  }
  unlink(path);
  int result = -1;
  if (bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 && listen(listener, 1) == 0) {
    while (result != 0 && wait_ready(listener, POLLIN, deadline_ms, &stop)) {
      const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) {
        continue;
      }
      result = pass_descriptor(conn, tcp);
      close(conn);
    }
    unlink(path);
  }
  close(listener);
  return result;
}
