// Turns one stream's network parameters into a bound datagram socket aimed at
// its destination, and takes it down again.
#include "net/network.h"
#include "support/log.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static constexpr char kLogUnit[] = "network";

namespace {

constexpr uint32_t kMaxPort = 65535;

int set_int_option(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value);
}

void set_reuse(int fd) {
  if (set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1) < 0)
    LOG_UNIT(LOG_ERR, "setsockopt(reuse) error [%s]", std::strerror(errno));
}

} // namespace

int ipv4_sock_setting(network_setting* ns) {
  AVTD_ASSERT(ns != nullptr, "ns != ((void *)0)");
  if (ns->srcport < 1 || ns->srcport > kMaxPort) return -1;
  const int fd = ns->sock;
  const bool multicast = is_ipv4_multicast_text(ns->host);

  if (set_int_option(fd, IPPROTO_IP, multicast ? IP_MULTICAST_TTL : IP_TTL, static_cast<int>(ns->ttl)) < 0) {
    LOG_FUNC(LOG_ERR, "ipv4_sock_setting", " : setsockopt error(%m)");
    return -1;
  }
  if (set_int_option(fd, IPPROTO_IP, IP_TOS, static_cast<int>(ns->tos)) < 0) {
    LOG_FUNC(LOG_ERR, "ipv4_sock_setting", " : setsockopt error(%m)");
    return -1;
  }
  // The stream must not loop back to receivers on this host.
  if (multicast && set_int_option(fd, IPPROTO_IP, IP_MULTICAST_LOOP, 0) < 0)
    LOG_FUNC(LOG_ERR, "ipv4_sock_setting", " : stop_multicast_loop error");
  set_reuse(fd);

  auto* dst = reinterpret_cast<struct sockaddr_in*>(ns->addr.ai_addr);
  std::memset(dst, 0, sizeof *dst);
  dst->sin_family = AF_INET;
  dst->sin_port = htons(static_cast<uint16_t>(ns->dstport));
  dst->sin_addr.s_addr = ::inet_addr(ns->host);

  struct sockaddr_in local {};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(ns->srcport));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<const struct sockaddr*>(&local), sizeof local) < 0) {
    LOG_UNIT(LOG_ERR, "bind error [%s]", std::strerror(errno));
    return -1;
  }
  return 0;
}

int ipv6_sock_setting(network_setting* ns) {
  AVTD_ASSERT(ns != nullptr, "ns != ((void *)0)");
  const int fd = ns->sock;
  const unsigned int ifindex = ::if_nametoindex(ns->device);
  if (ifindex == 0) {
    LOG_FUNC(LOG_ERR, "ipv6_sock_setting", " : if_nametoindex error");
    return -1;
  }
  // 0 lets the system choose; anything past 16 bits would bind a different port.
  if (ns->srcport > kMaxPort) return -1;

  if (is_ipv6_multicast(ns->host)) {
    if (set_int_option(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, static_cast<int>(ns->ttl)) < 0) return -1;
    if (set_int_option(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, static_cast<int>(ifindex)) < 0)
      LOG_FUNC(LOG_ERR, "ipv6_sock_setting", " : setsockopt error");
    if (set_int_option(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 0) < 0)
      LOG_FUNC(LOG_ERR, "ipv6_sock_setting", " : setsockopt error(%m)");
  } else if (set_int_option(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, static_cast<int>(ns->ttl)) < 0) {
    return -1;
  }
  set_reuse(fd);

  // Flow information and scope stay as the owner's buffer holds them. A name
  // that resolved to IPv6 has no address text to aim at: fail rather than
  // send to whatever the buffer held.
  auto* dst = reinterpret_cast<struct sockaddr_in6*>(ns->addr.ai_addr);
  if (::inet_pton(AF_INET6, ns->host, &dst->sin6_addr) != 1) return -1;
  dst->sin6_port = htons(static_cast<uint16_t>(ns->dstport));
  dst->sin6_family = AF_INET6;

  struct sockaddr_in6 local {};
  local.sin6_family = AF_INET6;
  local.sin6_port = htons(static_cast<uint16_t>(ns->srcport));
  local.sin6_addr = in6addr_any;
  if (::bind(fd, reinterpret_cast<const struct sockaddr*>(&local), sizeof local) < 0) {
    LOG_UNIT(LOG_ERR, "bind error [%s]", std::strerror(errno));
    return -1;
  }
  return 0;
}

int prepare_network(network_setting* ns) {
  AVTD_ASSERT(ns != nullptr, "ns != ((void *)0)");
  AVTD_ASSERT(ns->addr.ai_addr != nullptr, "ns->addr.ai_addr != ((void *)0)");
  char service[16]; // any u32 fits, so the text never truncates
  std::snprintf(service, sizeof service, "%ld", static_cast<long>(ns->dstport));

  struct addrinfo hints {};
  hints.ai_flags = 0;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = 0;
  struct addrinfo* found = nullptr;
  if (::getaddrinfo(ns->host, service, &hints, &found) != 0 || found == nullptr) {
    LOG_UNIT(LOG_ERR, "getaddrinfo error [%s:host=%s, port=%s]", std::strerror(errno), ns->host, service);
    LOG_UNIT(LOG_ERR, "init_addrinfo error");
    return -1;
  }
  ns->addr.ai_flags = found->ai_flags;
  ns->addr.ai_family = found->ai_family;
  ns->addr.ai_socktype = found->ai_socktype;
  ns->addr.ai_protocol = found->ai_protocol;
  ns->addr.ai_addrlen = found->ai_addrlen;
  ns->addr.ai_canonname = nullptr;
  ns->addr.ai_next = nullptr;
  ::freeaddrinfo(found);

  const int fd = ::socket(ns->addr.ai_family, ns->addr.ai_socktype | SOCK_CLOEXEC, ns->addr.ai_protocol);
  if (fd < 0) {
    LOG_FUNC(LOG_ERR, "prepare_network", " : socket error(%m)");
    return -1;
  }
  ns->sock = fd;

  if (ns->addr.ai_family == AF_INET6) {
    if (ipv6_sock_setting(ns) < 0) {
      LOG_UNIT(LOG_ERR, "failed to ipv6_sock_seetting");
      ::close(fd);
      return -1;
    }
  } else if (ipv4_sock_setting(ns) < 0) {
    LOG_UNIT(LOG_ERR, "failed to ipv4_sock_seetting");
    ::close(fd);
    return -1;
  }
  return fd;
}

int cleanup_network(network_setting* ns) {
  AVTD_ASSERT(ns != nullptr, "ns != ((void *)0)");
  if (ns->addr.ai_family == AF_INET6 && is_ipv6_multicast(ns->host)) {
    if (set_int_option(ns->sock, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 1) < 0)
      LOG_FUNC(LOG_ERR, "cleanup_network", " : stop_multicast_loop error");
  } else if (is_ipv4_multicast_text(ns->host)) {
    if (set_int_option(ns->sock, IPPROTO_IP, IP_MULTICAST_LOOP, 1) < 0)
      LOG_FUNC(LOG_ERR, "cleanup_network", " : stop_multicast_loop error");
  }
  // The owner decides what `sock` holds afterwards (it may be shared).
  return ::close(ns->sock);
}
