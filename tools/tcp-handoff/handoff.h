// The pieces of tcp-handoff: address parsing, the TCP connect and the
// offer of the connection on a local socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

struct endpoint {
  std::string host; // numeric IPv4 or IPv6 text, without brackets
  std::string port;
};

// "1.2.3.4:5000", "[2001:db8::2]:5000" or "2001:db8::2:5000" (the last
// colon separates the port).
bool parse_endpoint(const char* text, endpoint* out);

int64_t now_ms();

// A connected TCP socket, or -1 when the deadline passes first.
int connect_tcp(const endpoint& peer, int64_t deadline_ms);

// Sends fd with the greeting (the daemon takes only "S") over the local
// connection conn. 0 or -1.
int pass_descriptor(int conn, int fd, std::string_view greeting = "S");

// Listens on path, passes tcp to the first process that connects, and
// removes path again. 0 after one hand-over, -1 on time-out, stop or error.
int offer_connection(const char* path, int tcp, int64_t deadline_ms, const std::atomic<int>& stop);
