// Multicast tests on destination text and on inet_addr() values.
#include "net/network.h"

#include <arpa/inet.h>

#include <cstring>

namespace {
constexpr bool is_hex_f(char c) { return c == 'f' || c == 'F'; }
} // namespace

int is_ipv6_multicast(const char* text) {
  if (text == nullptr) return 0;
  // Short-circuit keeps the second read inside a one-character string.
  return is_hex_f(text[0]) && is_hex_f(text[1]) ? 1 : 0;
}

bool is_ipv4_multicast_addr(uint32_t address) {
  // The value is in network order: its first byte in memory is the first octet.
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  return bytes[0] >= 224 && bytes[0] <= 239;
}

bool is_ipv4_multicast_text(const char* text) {
  if (text == nullptr) return false;
  return is_ipv4_multicast_addr(::inet_addr(text));
}

bool is_multicast_host(const char* host) {
  if (host == nullptr) return false;
  if (std::strchr(host, ':') != nullptr) return is_ipv6_multicast(host) != 0;
  return is_ipv4_multicast_text(host);
}
