// The probe's command line.
#pragma once

#include <string>

namespace probe {

struct ProbeOptions {
  int port = -1;          // UDP: RTP on port, RTCP on port + 1
  double duration = 0;    // seconds to listen; 0: until the input ends or a signal
  double idle = 0;        // stop once nothing arrived for this long after the first packet
  int payload = -1;       // expected payload type
  bool ipv6 = false;
  std::string group;      // multicast group to join
  std::string interface;  // interface for the group join
  std::string tcp;        // HOST:PORT to connect to and read '$' frames from
  int tcp_listen = -1;    // port to accept one connection on
  std::string file;       // file of '$' frames; "-" reads standard input
  bool generic = false;   // skip the payload-format checks
  bool keepalive = false; // send receiver reports back to the sender's RTCP port
  bool quiet = false;     // no live summary
};

extern const char kUsage[];

// 0: run; 1: help was asked (print kUsage, exit 0); -1: error in `error`.
int parse_options(int argc, char** argv, ProbeOptions& out, std::string& error);

} // namespace probe
