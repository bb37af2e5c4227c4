// Small questions about one network interface: MTU, IPv4 address, hardware
// address. Each asks through a probe socket that is closed on every path.
#include "net/network.h"
#include "net/scoped_fd.h"
#include "support/log.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

static constexpr char kLogUnit[] = "network";

namespace {

net_detail::ScopedFd open_probe() { return net_detail::ScopedFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

void set_name(struct ifreq& req, const char* name) {
  // Longer names are cut to what the kernel takes, always terminated.
  const size_t length = ::strnlen(name, IFNAMSIZ - 1);
  std::memcpy(req.ifr_name, name, length);
  req.ifr_name[length] = '\0';
}

} // namespace

int get_mtu(network_setting* ns) {
  AVTD_ASSERT(ns != nullptr, "ns != ((void *)0)");
  struct ifreq req {};
  set_name(req, ns->device);
  auto probe = open_probe();
  if (!probe.valid()) return -1;
  if (::ioctl(probe.get(), SIOCGIFMTU, &req) < 0) return -1;
  return req.ifr_mtu;
}

uint32_t get_ip(const char* devname) {
  AVTD_ASSERT(devname != nullptr, "devname != ((void *)0)");
  constexpr uint32_t kNone = 0xFFFFFFFFu;
  struct ifreq req {};
  set_name(req, devname);
  auto probe = open_probe();
  if (!probe.valid()) {
    LOG_FUNC(LOG_ERR, "get_ip", " : socket(%m)");
    return kNone;
  }
  if (::ioctl(probe.get(), SIOCGIFADDR, &req) < 0) {
    if (errno != ENODEV) LOG_FUNC(LOG_ERR, "get_ip", " : ioctl(%m)");
    return kNone;
  }
  if (req.ifr_addr.sa_family != AF_INET) {
    LOG_FUNC(LOG_ERR, "get_ip", " : address family is not INET");
    return kNone;
  }
  struct sockaddr_in in {};
  std::memcpy(&in, &req.ifr_addr, sizeof in);
  return in.sin_addr.s_addr;
}

void get_hwaddr(unsigned char hwaddr[6], const char* device) {
  // Zeros unless the interface answers, so callers never read stale bytes.
  std::memset(hwaddr, 0, 6);
  if (device == nullptr) return;
  struct ifreq req {};
  std::strncpy(req.ifr_name, device, IFNAMSIZ - 1);
  req.ifr_hwaddr.sa_family = AF_INET;
  auto probe = open_probe();
  if (!probe.valid()) return;
  if (::ioctl(probe.get(), SIOCGIFHWADDR, &req) < 0) return;
  std::memcpy(hwaddr, req.ifr_hwaddr.sa_data, 6);
}
