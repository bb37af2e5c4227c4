#include "harness/net.h"

#include "harness/files.h"
#include "toolkit/fd.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace harness {

using toolkit::Fd;
using toolkit::run;

namespace {

// Interface ioctls through a throw-away socket of our namespace.
bool interface_request(unsigned long request, ifreq& req, const std::string& device) {
  Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock) {
    return false;
  }
  std::snprintf(req.ifr_name, sizeof req.ifr_name, "%s", device.c_str());
  return ::ioctl(sock.get(), request, &req) == 0;
}

std::string dotted(uint32_t network_order) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr addr{};
  addr.s_addr = network_order;
  ::inet_ntop(AF_INET, &addr, text, sizeof text);
  return text;
}

} // namespace

RunResult route(std::vector<std::string> args) {
  args.insert(args.begin(), "route");
  return run(std::move(args));
}

bool set_link_up(bool up, const std::string& device) {
  ifreq req{};
  if (!interface_request(SIOCGIFFLAGS, req, device)) {
    return false;
  }
  if (up) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
  } else {
    req.ifr_flags = static_cast<short>(req.ifr_flags & ~IFF_UP);
  }
  return interface_request(SIOCSIFFLAGS, req, device);
}

bool set_mtu(int mtu, const std::string& device) {
  ifreq req{};
  req.ifr_mtu = mtu;
  return interface_request(SIOCSIFMTU, req, device);
}

int link_mtu(const std::string& device) {
  ifreq req{};
  return interface_request(SIOCGIFMTU, req, device) ? req.ifr_mtu : -1;
}

bool link_is_up(const std::string& device) {
  ifreq req{};
  return interface_request(SIOCGIFFLAGS, req, device) && (req.ifr_flags & IFF_UP) != 0 &&
         (req.ifr_flags & IFF_RUNNING) != 0;
}

void reset_link() {
  if (link_mtu() != kDefaultMtu) {
    set_mtu(kDefaultMtu);
  }
  set_link_up(true);
}

std::string Route::destination_text() const {
  return dotted(destination);
}

std::string Route::mask_text() const {
  return dotted(mask);
}

std::string proc_net_route() {
  return read_file("/proc/net/route").value_or("");
}

std::vector<Route> ipv4_routes() {
  std::vector<Route> routes;
  std::istringstream in(proc_net_route());
  std::string line;
  std::getline(in, line); // column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Route r;
    std::string destination, gateway, flags, refcnt, use, metric, mask;
    if (fields >> r.device >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask) {
      r.destination = static_cast<uint32_t>(std::stoul(destination, nullptr, 16));
      r.gateway = static_cast<uint32_t>(std::stoul(gateway, nullptr, 16));
      r.flags = static_cast<unsigned>(std::stoul(flags, nullptr, 16));
      r.metric = std::stoi(metric);
      r.mask = static_cast<uint32_t>(std::stoul(mask, nullptr, 16));
      routes.push_back(r);
    }
  }
  return routes;
}

bool has_default_route() {
  for (const auto& r : ipv4_routes()) {
    if (r.destination == 0 && r.mask == 0) {
      return true;
    }
  }
  // /proc/net/ipv6_route: "dest plen src splen nexthop metric refcnt use flags device".
  std::istringstream in(read_file("/proc/net/ipv6_route").value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string destination, prefix, field, device;
    if (!(fields >> destination >> prefix)) {
      continue;
    }
    while (fields >> field) {
      device = field;
    }
    // The kernel keeps an unreachable catch-all on lo; that is no route.
    if (prefix == "00" && destination.find_first_not_of('0') == std::string::npos && device != "lo") {
      return true;
    }
  }
  return false;
}

} // namespace harness
