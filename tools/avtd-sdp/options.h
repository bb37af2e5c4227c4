// avtd-sdp's command line: the daemon's stream options (those that do not
// shape the description are accepted and ignored) plus where to read the
// stream parameters from.
#pragma once

#include <string>

namespace sdp {

struct SdpOptions {
  int payload = -1;
  int channel = 0;
  std::string host;
  unsigned dstport = 0;
  unsigned ttl = 0;
  bool tcp = false;
  int rtp_channel = 0;
  int rtcp_channel = 1;
  std::string device;
  long session_id = 0;
  unsigned bitrate = 0;
  int framerate = 0;
  bool enable_rfc2435 = false;
  bool enable_sdplay = false;
  std::string store;       // frame store to read; empty: the channel's own
  int store_number = -1;   // its configuration number; -1: the channel's
  bool no_store = false;
  double wait = 2.0;       // seconds to wait for a key frame
  std::string origin;      // o= address; empty: the device's address
};

extern const char kUsage[];

// 0: print the description; 1: help; -1: error in `error`.
int parse_options(int argc, char** argv, SdpOptions& out, std::string& error);

} // namespace sdp
