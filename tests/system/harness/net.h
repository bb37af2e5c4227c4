// The sandbox's network, seen from a test: addresses, link control, routes,
// and sockets on the receiving host.
//
//   daemon side (this process)            receiving host ("peer")
//   eth0 198.51.100.1/24  <--- veth --->  eth0 198.51.100.2/24
//        2001:db8::1/64                        2001:db8::2/64
//   no default route                       default route via eth0
#pragma once

#include "avtd-sandbox/sandbox.h"
#include "toolkit/process.h"

#include <cstdint>
#include <string>
#include <vector>

namespace harness {

using avtd_sandbox::kDefaultMtu;
using avtd_sandbox::kDevice;
using avtd_sandbox::kLocalIpv4;
using avtd_sandbox::kLocalIpv6;
using avtd_sandbox::kPeerIpv4;
using avtd_sandbox::kPeerIpv6;
using toolkit::RunResult;

// `route ARGS` on the daemon's side.
RunResult route(std::vector<std::string> args);

// Daemon-side link control (the peer's end stays up). False on failure.
bool set_link_up(bool up, const std::string& device = kDevice);
bool set_mtu(int mtu, const std::string& device = kDevice);
int link_mtu(const std::string& device = kDevice); // -1 if unknown
bool link_is_up(const std::string& device = kDevice); // administratively up and carrier

// Puts eth0 back as the sandbox made it: up, MTU 1500.
void reset_link();

// The IPv4 routing table as /proc/net/route has it.
struct Route {
  std::string device;
  uint32_t destination = 0; // network byte order, as in the file
  uint32_t gateway = 0;
  uint32_t mask = 0;
  unsigned flags = 0;
  int metric = 0;
  std::string destination_text() const; // dotted quad
  std::string mask_text() const;
};
std::string proc_net_route(); // the raw text
std::vector<Route> ipv4_routes();
bool has_default_route(); // IPv4 or IPv6

} // namespace harness
