// Destination and interface checks used while parsing the command line.
#include "net/network.h"
#include "net/scoped_fd.h"
#include "support/log.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

static constexpr char kLogUnit[] = "network";

int check_device(const char* device) {
  AVTD_ASSERT(device != nullptr, "device != ((void *)0)");
  struct ifreq req {};
  std::strncpy(req.ifr_name, device, IFNAMSIZ - 1);
  req.ifr_name[IFNAMSIZ - 1] = '\0';

  net_detail::ScopedFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) {
    LOG_FUNC(LOG_ERR, "check_device", " : socket(%m)");
    return -1;
  }
  if (::ioctl(probe.get(), SIOCGIFINDEX, &req) < 0) {
    if (errno == ENODEV) return -3;
    LOG_FUNC(LOG_ERR, "check_device", " : ioctl(%m)");
    return -2;
  }
  return 0;
}

int check_ipv4_host(const char* host) {
  if (host == nullptr) return -1;
  struct in_addr parsed {};
  // inet_addr() reads unparsable text as 255.255.255.255, which would pass the
  // range test below; such text is refused instead.
  if (::inet_aton(host, &parsed) == 0) return -1;
  const uint32_t v = ntohl(parsed.s_addr);
  const uint32_t first = v >> 24;
  if (first >= 224) return 0;
  switch (v) {
    case 0x01000000u: // 1.0.0.0
    case 0x7EFFFFFFu: // 126.255.255.255
    case 0x80000000u: // 128.0.0.0
    case 0xBFFFFFFFu: // 191.255.255.255
    case 0xC0000000u: // 192.0.0.0
    case 0xDFFFFFFFu: // 223.255.255.255
      return -1;
    default:
      break;
  }
  if (first == 0 || first == 127) return -1;
  return 0;
}

int check_ipv6_host(const char* host) {
  if (host == nullptr) return -1;
  struct in6_addr parsed {};
  if (::inet_pton(AF_INET6, host, &parsed) != 1) return -1;
  if (IN6_IS_ADDR_UNSPECIFIED(&parsed) || IN6_IS_ADDR_LOOPBACK(&parsed)) return -1;
  return 0;
}
