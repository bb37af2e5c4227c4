#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <charconv>
#include <cstring>

namespace rtspd {

const char kUsage[] =
    "usage: avtd-rtspd [--port N] [--listen ADDR]... [--max-sessions N] [--session-timeout S]\n"
    "                  [--multicast-base ADDR] [--multicast-base6 ADDR] [--multicast-port N] [--ttl N]\n"
    "                  [--server-port N] [--device IF] [--avtd PATH] [--framerate N]\n"
    "                  [--max-connections N] [--request-timeout S] [--session-log FILE] [--help]\n"
    "Serves the device's streams to RTSP players (rtsp://ADDR:PORT/[chN/]h264|jpeg|mpeg4|ulaw|metadata,\n"
    "/jpeg?fps=N) and the session service on /tmp/session, starting one avtd per viewer.\n"
    "There is no authentication: listen only on trusted networks.\n"
    "  --port N              RTSP port (default 8554)\n"
    "  --listen ADDR         address to listen on, repeatable (default: all, IPv6 and IPv4)\n"
    "  --max-sessions N      daemons at once; more SETUPs get 503 (default 64)\n"
    "  --session-timeout S   seconds without a keep-alive before a session ends (default 60)\n"
    "  --multicast-base ADDR first IPv4 group; channel and kind pick the ones after it (default 239.255.42.0)\n"
    "  --multicast-base6 ADDR first IPv6 group (default ff15::a:0)\n"
    "  --multicast-port N    RTP port of the first group, two more per group (default 40000)\n"
    "  --ttl N               multicast TTL / hop limit (default 4)\n"
    "  --server-port N       first source port pair of unicast streams (default 50000)\n"
    "  --device IF           interface the daemons send on (default: the player connection's)\n"
    "  --avtd PATH           the stream daemon (default: avtd beside this program)\n"
    "  --framerate N         frame rate answered to the daemons' query when the URL sets none (default 30)\n"
    "  --max-connections N   RTSP connections at once; more are answered 503 and closed (default 256)\n"
    "  --request-timeout S   seconds for a request to arrive whole (default 10)\n"
    "  --session-log FILE    one JSON line per /tmp/session request\n";

namespace {

enum code { kPort = 1000, kListen, kMaxSessions, kTimeout, kMcBase, kMcBase6, kMcPort, kTtl, kServerPort, kDevice,
            kAvtd, kFramerate, kMaxConnections, kRequestTimeout, kSessionLog, kHelp };

const option kLong[] = {{"port", required_argument, nullptr, kPort},
                        {"listen", required_argument, nullptr, kListen},
                        {"max-sessions", required_argument, nullptr, kMaxSessions},
                        {"session-timeout", required_argument, nullptr, kTimeout},
                        {"multicast-base", required_argument, nullptr, kMcBase},
                        {"multicast-base6", required_argument, nullptr, kMcBase6},
                        {"multicast-port", required_argument, nullptr, kMcPort},
                        {"ttl", required_argument, nullptr, kTtl},
                        {"server-port", required_argument, nullptr, kServerPort},
                        {"device", required_argument, nullptr, kDevice},
                        {"avtd", required_argument, nullptr, kAvtd},
                        {"framerate", required_argument, nullptr, kFramerate},
                        {"max-connections", required_argument, nullptr, kMaxConnections},
                        {"request-timeout", required_argument, nullptr, kRequestTimeout},
                        {"session-log", required_argument, nullptr, kSessionLog},
                        {"help", no_argument, nullptr, kHelp},
                        {nullptr, 0, nullptr, 0}};

bool number(const char* text, int lo, int hi, int& out) {
  const char* end = text + std::strlen(text);
  const auto r = std::from_chars(text, end, out);
  return r.ec == std::errc() && r.ptr == end && out >= lo && out <= hi;
}

bool is_address(const std::string& text, int family) {
  unsigned char buf[16];
  return inet_pton(family, text.c_str(), buf) == 1;
}

} // namespace

int parse_options(int argc, char** argv, options& out, std::string& error) {
  opterr = 0;
  optind = 1;
  for (;;) {
    const int c = getopt_long(argc, argv, "", kLong, nullptr);
    if (c == -1) {
      break;
    }
    const std::string arg = optarg != nullptr ? optarg : "";
    bool ok = true;
    switch (c) {
      case kPort: ok = number(optarg, 1, 65535, out.port); break;
      case kListen: ok = is_address(arg, AF_INET) || is_address(arg, AF_INET6); out.listen.push_back(arg); break;
      case kMaxSessions: ok = number(optarg, 1, 1000, out.max_sessions); break;
      case kTimeout: ok = number(optarg, 1, 3600, out.session_timeout); break;
      case kMcBase: ok = is_address(arg, AF_INET); out.multicast_base = arg; break;
      case kMcBase6: ok = is_address(arg, AF_INET6); out.multicast_base6 = arg; break;
      case kMcPort: ok = number(optarg, 1024, 65000, out.multicast_port); break;
      case kTtl: ok = number(optarg, 0, 255, out.ttl); break;
      case kServerPort: ok = number(optarg, 1024, 62000, out.server_port); break;
      case kDevice: ok = !arg.empty() && arg.size() < 16; out.device = arg; break;
      case kAvtd: ok = !arg.empty(); out.avtd = arg; break;
      case kFramerate: ok = number(optarg, 1, 30, out.framerate); break;
      case kMaxConnections: ok = number(optarg, 1, 4096, out.max_connections); break;
      case kRequestTimeout: ok = number(optarg, 1, 3600, out.request_timeout); break;
      case kSessionLog: ok = !arg.empty(); out.session_log = arg; break;
      case kHelp: return 1;
      default:
        error = std::string("unknown option or missing value: ") + argv[optind - 1];
        return -1;
    }
    if (!ok) {
      error = std::string("invalid value for --") + kLong[c - kPort].name + ": " + arg;
      return -1;
    }
  }
  if (optind < argc) {
    error = std::string("unexpected argument ") + argv[optind];
    return -1;
  }
  // The source port pairs of every possible daemon must fit.
  if (out.server_port + 2 * (out.max_sessions + 8) > 65535) {
    error = "--server-port too high for --max-sessions";
    return -1;
  }
  return 0;
}

} // namespace rtspd
