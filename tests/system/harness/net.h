// The sandbox's network, seen from a test: addresses, link control, routes,
// and sockets on the receiving host.
//
//   daemon side (this process)            receiving host ("peer")
//   eth0 198.51.100.1/24  <--- veth --->  eth0 198.51.100.2/24
//        2001:db8::1/64                        2001:db8::2/64
//   no default route                       default route via eth0
#pragma once

#include "harness/fd.h"
#include "harness/process.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace harness {

inline constexpr char kDevice[] = "eth0";
inline constexpr char kLocalIpv4[] = "198.51.100.1";
inline constexpr char kPeerIpv4[] = "198.51.100.2";
inline constexpr char kLocalIpv6[] = "2001:db8::1";
inline constexpr char kPeerIpv6[] = "2001:db8::2";
inline constexpr int kDefaultMtu = 1500;

// `ip ARGS` on the daemon's side / on the receiving host; `route ARGS`.
RunResult ip(std::vector<std::string> args);
RunResult ip_peer(std::vector<std::string> args);
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

// Runs fn on a thread inside the receiving host's network namespace; what it
// creates there (sockets) stays there. Exceptions pass through.
void in_peer(const std::function<void()>& fn);

// A socket living on the receiving host (socket(2) arguments); throws on
// failure. It can be bound, joined to groups, connected etc. from any thread.
Fd peer_socket(int domain, int type, int protocol = 0);

} // namespace harness
