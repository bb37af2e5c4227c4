#include "toolkit/net.h"

#include "avtd-sandbox/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace toolkit {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxDatagram = 65536;

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = 0;
  bool multicast = false;
};

Address parse(const std::string& text, uint16_t port) {
  Address a;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&a.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
  if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    a.family = AF_INET;
    a.length = sizeof(sockaddr_in);
    a.multicast = IN_MULTICAST(ntohl(v4->sin_addr.s_addr));
  } else if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    a.family = AF_INET6;
    a.length = sizeof(sockaddr_in6);
    a.multicast = IN6_IS_ADDR_MULTICAST(&v6->sin6_addr);
  } else {
    throw std::invalid_argument("not an IP address: " + text);
  }
  return a;
}

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

Fd make_socket(int family, int type, bool in_peer) {
  if (in_peer) {
    return peer_socket(family, type);
  }
  Fd fd(::socket(family, type | SOCK_CLOEXEC, 0));
  if (!fd) {
    fail("socket");
  }
  return fd;
}

uint16_t bound_port(int fd) {
  sockaddr_storage addr{};
  socklen_t length = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    fail("getsockname");
  }
  if (addr.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
}

void set_int(int fd, int level, int name, int value, const char* what) {
  if (::setsockopt(fd, level, name, &value, sizeof value) != 0) {
    fail(what);
  }
}

// The index of `device` in the socket's own namespace.
int interface_index(int fd, const std::string& device) {
  ifreq req{};
  std::snprintf(req.ifr_name, sizeof req.ifr_name, "%s", device.c_str());
  if (::ioctl(fd, SIOCGIFINDEX, &req) != 0) {
    fail("interface " + device);
  }
  return req.ifr_ifindex;
}

// Milliseconds left until the deadline, for poll(); 0 once passed.
int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool wait_readable(int fd, Clock::time_point deadline) {
  // Bounded: each pass waits at most until the deadline.
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, remaining_ms(deadline));
    if (ready > 0) {
      return true;
    }
    if (ready == 0 || errno != EINTR || Clock::now() >= deadline) {
      return false;
    }
  }
}

} // namespace

void in_peer(const std::function<void()>& fn) {
  avtd_sandbox::run_in_peer(fn);
}

Fd peer_socket(int domain, int type, int protocol) {
  int fd = -1;
  int err = 0;
  in_peer([&] {
    fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
    err = errno;
  });
  if (fd < 0) {
    throw std::runtime_error(std::string("socket in the peer namespace: ") + std::strerror(err));
  }
  return Fd(fd);
}

std::string address_text(const sockaddr_storage& addr, uint16_t* port) {
  char text[INET6_ADDRSTRLEN] = {};
  uint16_t number = 0;
  if (addr.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&addr);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    number = ntohs(v4->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    number = ntohs(v6->sin6_port);
  }
  if (port != nullptr) {
    *port = number;
  }
  return text;
}

Fd loopback_udp(int family, sockaddr_storage* bound, int receive_buffer) {
  Address a = parse(family == AF_INET6 ? "::1" : "127.0.0.1", 0);
  Fd fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (receive_buffer > 0 &&
      ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer) != 0) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a.storage), a.length) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a.storage), &a.length) != 0) {
    return Fd();
  }
  if (bound != nullptr) {
    *bound = a.storage;
  }
  return fd;
}

TcpLink loopback_tcp_link(int buffer) {
  Address a = parse("127.0.0.1", 0);
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer); // inherited by the accepted end
  TcpLink link{Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), Fd()};
  ::setsockopt(link.sender.get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&a.storage), a.length) == 0 &&
      ::listen(listener.get(), 1) == 0 &&
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a.storage), &a.length) == 0 &&
      ::connect(link.sender.get(), reinterpret_cast<const sockaddr*>(&a.storage), a.length) == 0) {
    link.receiver = Fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  return link;
}

ssize_t receive_datagram(int fd, std::span<uint8_t> buffer, sockaddr_storage& from, int* ttl, int* tos) {
  alignas(cmsghdr) char control[256];
  iovec iov{buffer.data(), buffer.size()};
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT);
  if (n < 0) {
    return n;
  }
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    int value = 0;
    const bool v4 = c->cmsg_level == IPPROTO_IP;
    const bool v6 = c->cmsg_level == IPPROTO_IPV6;
    if ((v4 && c->cmsg_type == IP_TOS)) {
      value = *reinterpret_cast<const unsigned char*>(CMSG_DATA(c));
    } else {
      std::memcpy(&value, CMSG_DATA(c), sizeof value);
    }
    if (ttl != nullptr && ((v4 && c->cmsg_type == IP_TTL) || (v6 && c->cmsg_type == IPV6_HOPLIMIT))) {
      *ttl = value;
    } else if (tos != nullptr && ((v4 && c->cmsg_type == IP_TOS) || (v6 && c->cmsg_type == IPV6_TCLASS))) {
      *tos = value;
    }
  }
  return n;
}

UdpReceiver::UdpReceiver(const std::string& address, uint16_t port, ReceiverOptions options)
    : want_ttl_tos_(options.want_ttl_tos) {
  Address a = parse(address, port);
  family_ = a.family;
  sock_ = make_socket(a.family, SOCK_DGRAM, options.in_peer);
  const int fd = sock_.get();
  set_int(fd, SOL_SOCKET, SO_REUSEADDR, 1, "SO_REUSEADDR");
  if (options.receive_buffer > 0 &&
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &options.receive_buffer, sizeof options.receive_buffer) != 0) {
    set_int(fd, SOL_SOCKET, SO_RCVBUF, options.receive_buffer, "SO_RCVBUF");
  }
  if (options.want_ttl_tos) {
    if (a.family == AF_INET) {
      set_int(fd, IPPROTO_IP, IP_RECVTTL, 1, "IP_RECVTTL");
      set_int(fd, IPPROTO_IP, IP_RECVTOS, 1, "IP_RECVTOS");
    } else {
      set_int(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, 1, "IPV6_RECVHOPLIMIT");
      set_int(fd, IPPROTO_IPV6, IPV6_RECVTCLASS, 1, "IPV6_RECVTCLASS");
    }
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&a.storage), a.length) != 0) {
    fail("bind " + address + " port " + std::to_string(port));
  }
  if (a.multicast) {
    const int index = interface_index(fd, options.device);
    if (a.family == AF_INET) {
      ip_mreqn req{};
      req.imr_multiaddr = reinterpret_cast<sockaddr_in*>(&a.storage)->sin_addr;
      req.imr_ifindex = index;
      if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) != 0) {
        fail("join " + address);
      }
    } else {
      ipv6_mreq req{};
      req.ipv6mr_multiaddr = reinterpret_cast<sockaddr_in6*>(&a.storage)->sin6_addr;
      req.ipv6mr_interface = static_cast<unsigned>(index);
      if (::setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &req, sizeof req) != 0) {
        fail("join " + address);
      }
    }
  }
  port_ = bound_port(fd);
}

std::optional<Datagram> UdpReceiver::receive(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  if (!wait_readable(sock_.get(), deadline)) {
    return std::nullopt;
  }
  Datagram d;
  d.data.resize(kMaxDatagram);
  sockaddr_storage from{};
  const ssize_t n = receive_datagram(sock_.get(), d.data, from, &d.ttl, &d.tos);
  if (n < 0) {
    return std::nullopt;
  }
  d.at = Clock::now();
  d.data.resize(static_cast<size_t>(n));
  d.from = address_text(from, &d.from_port);
  return d;
}

std::vector<Datagram> UdpReceiver::receive_n(size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<Datagram> got;
  while (got.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto d = receive(left.count() > 0 ? left : 0ms);
    if (!d) {
      break;
    }
    got.push_back(std::move(*d));
  }
  return got;
}

std::vector<Datagram> UdpReceiver::receive_until_quiet(std::chrono::milliseconds quiet, size_t limit,
                                                       std::chrono::milliseconds max_total) {
  const auto deadline = Clock::now() + max_total;
  std::vector<Datagram> got;
  while (got.size() < limit && Clock::now() < deadline) {
    auto d = receive(quiet);
    if (!d) {
      break;
    }
    got.push_back(std::move(*d));
  }
  return got;
}

TcpListener::TcpListener(const std::string& address, uint16_t port, bool in_peer) {
  Address a = parse(address, port);
  sock_ = make_socket(a.family, SOCK_STREAM, in_peer);
  set_int(sock_.get(), SOL_SOCKET, SO_REUSEADDR, 1, "SO_REUSEADDR");
  if (::bind(sock_.get(), reinterpret_cast<const sockaddr*>(&a.storage), a.length) != 0) {
    fail("bind " + address + " port " + std::to_string(port));
  }
  if (::listen(sock_.get(), 16) != 0) {
    fail("listen");
  }
  port_ = bound_port(sock_.get());
}

Fd TcpListener::accept(std::chrono::milliseconds timeout) {
  if (!wait_readable(sock_.get(), Clock::now() + timeout)) {
    return Fd();
  }
  return Fd(::accept4(sock_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

Fd tcp_connect(const std::string& address, uint16_t port, bool in_peer, std::chrono::milliseconds timeout) {
  Address a = parse(address, port);
  Fd sock = make_socket(a.family, SOCK_STREAM, in_peer);
  const int flags = ::fcntl(sock.get(), F_GETFL);
  ::fcntl(sock.get(), F_SETFL, flags | O_NONBLOCK);
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&a.storage), a.length) != 0) {
    if (errno != EINPROGRESS) {
      return Fd();
    }
    pollfd p{sock.get(), POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
      return Fd();
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      return Fd();
    }
  }
  ::fcntl(sock.get(), F_SETFL, flags);
  return sock;
}

bool read_exact(int fd, std::span<uint8_t> buffer, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  size_t done = 0;
  while (done < buffer.size()) {
    if (!wait_readable(fd, deadline)) {
      return false;
    }
    ssize_t n = ::recv(fd, buffer.data() + done, buffer.size() - done, MSG_DONTWAIT);
    if (n == 0) {
      return false;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::vector<uint8_t> read_some(int fd, size_t max, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> data(max);
  if (!wait_readable(fd, Clock::now() + timeout)) {
    return {};
  }
  ssize_t n = ::recv(fd, data.data(), data.size(), MSG_DONTWAIT);
  data.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return data;
}

} // namespace toolkit
