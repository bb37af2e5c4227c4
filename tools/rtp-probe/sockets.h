// Opening the probe's inputs: the UDP port pair (with multicast join), a
// TCP connection made or accepted, or a file.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "options.h"
#include "toolkit/fd.h"

namespace probe {

using toolkit::Fd;

// Binds a datagram socket to `port` on the wildcard address, with a large
// receive buffer and TTL/TOS reporting; joins `group` when given. Empty Fd
// and `error` set on failure.
Fd open_udp(const ProbeOptions& options, int port, std::string& error);

// Connects to HOST:PORT ([v6addr]:PORT for IPv6) within `timeout_ms`.
Fd connect_tcp(const std::string& target, int timeout_ms, std::string& error);

// Listens on `port`; the caller accepts.
Fd listen_tcp(int port, bool ipv6, std::string& error);

// "198.51.100.1:6000" or "[2001:db8::1]:6000".
std::string endpoint_text(const sockaddr_storage& addr);

} // namespace probe
