// Sockets of the tools and tests: UDP datagrams with their arrival time,
// source and (on request) TTL / hop limit and TOS / traffic class, TCP
// listeners and connections with bounded waits, and sockets on the
// sandbox's receiving host.
//
//   UdpReceiver rx(kPeerIpv4, 5000);                  // unicast, IPv4
//   UdpReceiver mc("239.1.2.3", 5000, {.want_ttl_tos = true}); // joins the group on eth0
//   auto packets = rx.receive_n(10, 3s);
#pragma once

#include "toolkit/fd.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace toolkit {

using namespace std::chrono_literals;

// Runs fn on a thread inside the sandbox's receiving host network namespace;
// what it creates there (sockets) stays there. Exceptions pass through.
void in_peer(const std::function<void()>& fn);

// A socket living on the receiving host (socket(2) arguments); throws on
// failure. It can be bound, joined to groups, connected etc. from any thread.
Fd peer_socket(int domain, int type, int protocol = 0);

// One recvmsg without waiting: the datagram into `buffer`, its source, and
// when asked (non-null) the TTL / hop limit and TOS / traffic class the
// socket was told to report. The byte count, or -1.
ssize_t receive_datagram(int fd, std::span<uint8_t> buffer, sockaddr_storage& from, int* ttl = nullptr,
                         int* tos = nullptr);

// A UDP socket bound to a free port of the loopback address of `family`,
// its receive buffer at least `receive_buffer` bytes (forced past the system
// limit where allowed); its address in `bound`. Empty when the family has no
// loopback here.
Fd loopback_udp(int family = AF_INET, sockaddr_storage* bound = nullptr, int receive_buffer = 0);

// A loopback TCP connection with send and receive buffers of `buffer` bytes
// (the kernel rounds up to its least), so that a large write goes out in
// several sends and a slow reader holds the writer up.
struct TcpLink {
  Fd sender;
  Fd receiver;
};
TcpLink loopback_tcp_link(int buffer = 1024);

// "198.51.100.2" or "2001:db8::2" of an address, and its port.
std::string address_text(const sockaddr_storage& addr, uint16_t* port = nullptr);

struct Datagram {
  std::vector<uint8_t> data;
  std::chrono::steady_clock::time_point at;
  std::string from;       // source address text
  uint16_t from_port = 0;
  int ttl = -1;           // TTL or hop limit; -1 unless asked for
  int tos = -1;           // TOS or traffic class; -1 unless asked for
};

struct ReceiverOptions {
  bool in_peer = true;       // false: a socket on the daemon's side
  bool want_ttl_tos = false; // fill Datagram::ttl and ::tos
  std::string device = "eth0"; // interface to join multicast groups on
  // Seconds of a stream, so that a receiver starved by a busy machine loses nothing.
  int receive_buffer = 8 << 20;
};

class UdpReceiver {
 public:
  // Binds `address` ("198.51.100.2", "2001:db8::2", "0.0.0.0", "::", or a
  // multicast group, which is then joined on options.device) and `port`
  // (0: any free port). Throws std::runtime_error on failure.
  UdpReceiver(const std::string& address, uint16_t port, ReceiverOptions options = {});

  uint16_t port() const { return port_; }
  int fd() const { return sock_.get(); }

  // The next datagram, or nothing after `timeout`.
  std::optional<Datagram> receive(std::chrono::milliseconds timeout = 3s);
  // Up to `count` datagrams, returning early once there are that many.
  std::vector<Datagram> receive_n(size_t count, std::chrono::milliseconds timeout = 3s);
  // Everything that arrives until nothing came for `quiet`, at most `limit`
  // datagrams and `max_total` time.
  std::vector<Datagram> receive_until_quiet(std::chrono::milliseconds quiet = 300ms, size_t limit = 100000,
                                            std::chrono::milliseconds max_total = 30s);

 private:
  Fd sock_;
  int family_ = 0;
  uint16_t port_ = 0;
  bool want_ttl_tos_ = false;
};

class TcpListener {
 public:
  // Listens on address:port (0: any free port); throws on failure.
  TcpListener(const std::string& address, uint16_t port, bool in_peer = true);
  uint16_t port() const { return port_; }
  int fd() const { return sock_.get(); }
  // An accepted connection, or an empty Fd after `timeout`.
  Fd accept(std::chrono::milliseconds timeout = 3s);

 private:
  Fd sock_;
  uint16_t port_ = 0;
};

// A TCP connection to address:port made from the receiving host (or from
// our side); an empty Fd when it failed or took longer than `timeout`.
Fd tcp_connect(const std::string& address, uint16_t port, bool in_peer = true,
               std::chrono::milliseconds timeout = 3s);

// Reads exactly buffer.size() bytes; false on end of stream, error or timeout.
bool read_exact(int fd, std::span<uint8_t> buffer, std::chrono::milliseconds timeout = 3s);
// Whatever arrives within `timeout` (at most `max` bytes); empty on timeout or end.
std::vector<uint8_t> read_some(int fd, size_t max = 65536, std::chrono::milliseconds timeout = 3s);

} // namespace toolkit
