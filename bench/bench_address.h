// A numeric IPv4 or IPv6 address and a port as one socket address, for the
// benchmark's senders and its receiving host.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace bench {

struct socket_address {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// False when `host` is neither a dotted IPv4 nor an IPv6 address.
inline bool numeric_address(const std::string& host, int port, socket_address& out) {
  out = socket_address{};
  const auto net_port = htons(static_cast<uint16_t>(port));
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = net_port;
    out.length = sizeof(sockaddr_in);
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = net_port;
    out.length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

} // namespace bench
