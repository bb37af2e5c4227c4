#include "sockets.h"

#include "toolkit/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace probe {
namespace {

constexpr int kReceiveBuffer = 8 * 1024 * 1024;

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void enlarge_receive_buffer(int fd) {
  int size = kReceiveBuffer;
  // The forcing variant passes the system limit when we are root.
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
}

// Joins on one interface index (0: the kernel picks by route).
int join(int fd, bool v6, const in_addr& g4, const in6_addr& g6, unsigned index) {
  if (v6) {
    ipv6_mreq req{};
    req.ipv6mr_multiaddr = g6;
    req.ipv6mr_interface = index;
    return setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &req, sizeof req);
  }
  ip_mreqn req{};
  req.imr_multiaddr = g4;
  req.imr_ifindex = static_cast<int>(index);
  return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req);
}

bool join_group(int fd, const ProbeOptions& options, std::string& error) {
  in_addr g4{};
  in6_addr g6{};
  const bool v6 = options.ipv6;
  if (v6 ? inet_pton(AF_INET6, options.group.c_str(), &g6) != 1 : inet_pton(AF_INET, options.group.c_str(), &g4) != 1) {
    error = "not a multicast address: " + options.group;
    return false;
  }
  if (!options.interface.empty()) {
    const unsigned index = if_nametoindex(options.interface.c_str());
    if (index == 0 || join(fd, v6, g4, g6, index) != 0) {
      error = errno_text(("join " + options.group + " on " + options.interface).c_str());
      return false;
    }
    return true;
  }
  if (join(fd, v6, g4, g6, 0) == 0) {
    return true;
  }
  // No route to the group (no default route): join on every interface that
  // is up and does multicast.
  struct if_nameindex* names = if_nameindex();
  bool joined = false;
  for (struct if_nameindex* n = names; n && n->if_index != 0; ++n) {
    if (join(fd, v6, g4, g6, n->if_index) == 0) {
      joined = true;
    }
  }
  if (names) {
    if_freenameindex(names);
  }
  if (!joined) {
    error = "cannot join " + options.group + " on any interface (try --interface)";
  }
  return joined;
}

} // namespace

Fd open_udp(const ProbeOptions& options, int port, std::string& error) {
  const bool v6 = options.ipv6;
  Fd fd(socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = errno_text("socket");
    return {};
  }
  const int on = 1;
  const int off = 0;
  if (!options.group.empty()) {
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  enlarge_receive_buffer(fd.get());
  sockaddr_storage addr{};
  socklen_t length;
  if (v6) {
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof on);
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    a->sin6_addr = in6addr_any;
    length = sizeof *a;
  } else {
    setsockopt(fd.get(), IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    setsockopt(fd.get(), IPPROTO_IP, IP_RECVTOS, &on, sizeof on);
    // Only the joined group, not every group another socket joined.
    setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    a->sin_addr.s_addr = htonl(INADDR_ANY);
    length = sizeof *a;
  }
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    error = errno_text(("bind port " + std::to_string(port)).c_str());
    return {};
  }
  if (!options.group.empty() && !join_group(fd.get(), options, error)) {
    return {};
  }
  return fd;
}

Fd connect_tcp(const std::string& target, int timeout_ms, std::string& error) {
  std::string host;
  std::string port;
  const size_t colon = target.rfind(':');
  if (colon == std::string::npos || colon + 1 == target.size()) {
    error = "expected HOST:PORT, got " + target;
    return {};
  }
  host = target.substr(0, colon);
  port = target.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    error = "cannot resolve " + target + ": " + gai_strerror(rc);
    return {};
  }
  Fd fd(socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  int rc = fd ? connect(fd.get(), found->ai_addr, found->ai_addrlen) : -1;
  freeaddrinfo(found);
  if (!fd) {
    error = errno_text("socket");
    return {};
  }
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd.get(), POLLOUT, 0};
    if (poll(&p, 1, timeout_ms) != 1) {
      error = "connect to " + target + " timed out";
      return {};
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len);
    errno = so_error;
    rc = so_error == 0 ? 0 : -1;
  }
  if (rc != 0) {
    error = errno_text(("connect to " + target).c_str());
    return {};
  }
  return fd;
}

Fd listen_tcp(int port, bool ipv6, std::string& error) {
  Fd fd(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    error = errno_text("socket");
    return {};
  }
  const int on = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage addr{};
  socklen_t length;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    a->sin6_addr = in6addr_any;
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    a->sin_addr.s_addr = htonl(INADDR_ANY);
    length = sizeof *a;
  }
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), length) != 0 || listen(fd.get(), 1) != 0) {
    error = errno_text(("listen on port " + std::to_string(port)).c_str());
    return {};
  }
  return fd;
}

std::string endpoint_text(const sockaddr_storage& addr) {
  uint16_t port = 0;
  const std::string ip = toolkit::address_text(addr, &port);
  if (ip.empty()) {
    return {};
  }
  return (addr.ss_family == AF_INET6 ? "[" + ip + "]" : ip) + ":" + std::to_string(port);
}

} // namespace probe
