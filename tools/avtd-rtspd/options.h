// avtd-rtspd's command line.
#pragma once

#include <string>
#include <vector>

namespace rtspd {

struct options {
  int port = 8554;
  std::vector<std::string> listen;       // addresses; empty: every address (IPv6 and IPv4)
  int max_sessions = 64;                 // daemons at once, multicast ones included
  int max_connections = 256;
  int session_timeout = 60;              // seconds; also the daemons' --timeout
  int request_timeout = 10;              // seconds for one request to arrive whole
  std::string multicast_base = "239.255.42.0";
  std::string multicast_base6 = "ff15::a:0";
  int multicast_port = 40000;            // first group's RTP port
  int ttl = 4;                           // multicast TTL / hop limit
  int server_port = 50000;               // first source port pair of unicast daemons
  std::string device;                    // empty: the interface of the player's connection
  std::string avtd;                      // the daemon; empty: beside this program
  int framerate = 30;                    // the frame rate a query gets when the stream sets none
  std::string session_log;               // JSON line per "/tmp/session" request; empty: none
};

extern const char kUsage[];

// 0: run; 1: --help; -1: error in `error`.
int parse_options(int argc, char** argv, options& out, std::string& error);

} // namespace rtspd
