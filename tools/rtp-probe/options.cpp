#include "options.h"

#include <getopt.h>

#include "support/command_line.h"

#include <cerrno>
#include <cstdlib>
#include "toolkit/number.h"

namespace probe {

const char kUsage[] =
    "usage: rtp-probe --port P [--duration S] [--payload PT] [--ipv6] [--group ADDR]\n"
    "                 [--tcp HOST:PORT | --tcp-listen PORT | --file F] [options]\n"
    "Receives one RTP stream and checks what arrives.\n"
    "  --port P          listen for RTP on UDP port P and for RTCP on P+1\n"
    "  --duration S      stop after S seconds (default: at the end of the input or on SIGINT/SIGTERM)\n"
    "  --idle S          stop when nothing arrived for S seconds after the first packet\n"
    "  --payload PT      expect payload type PT (default: the first one received)\n"
    "  --ipv6            listen on IPv6 (implied by an IPv6 --group)\n"
    "  --group ADDR      join multicast group ADDR (IPv4 or IPv6)\n"
    "  --interface IF    interface for the group join (default: the kernel's choice, else every one)\n"
    "  --tcp HOST:PORT   connect and read '$'-interleaved frames ([v6addr]:PORT for IPv6)\n"
    "  --tcp-listen PORT accept one connection on PORT and read '$'-interleaved frames from it\n"
    "  --file F          read '$'-interleaved frames from file F ('-': standard input)\n"
    "  --generic         check headers, sequence, timestamps and RTCP only, not the payload format\n"
    "  --keepalive       send an empty receiver report to the sender's RTCP port every second\n"
    "  --quiet           no live summary on standard error\n"
    "Standard error: \"rtp-probe: listening on ...\" once ready, then a summary line each second.\n"
    "Final report on standard output: one JSON line, then text.\n"
    "Exit status: 0 clean, 1 violations, 2 usage, 3 no RTP packet received.\n";

namespace {

enum Code { kPort = 1000, kDuration, kIdle, kPayload, kIpv6, kGroup, kInterface, kTcp, kTcpListen, kFile,
            kGeneric, kKeepalive, kQuiet, kHelp };

const option kLongOptions[] = {
    {"port", required_argument, nullptr, kPort},
    {"duration", required_argument, nullptr, kDuration},
    {"idle", required_argument, nullptr, kIdle},
    {"payload", required_argument, nullptr, kPayload},
    {"ipv6", no_argument, nullptr, kIpv6},
    {"group", required_argument, nullptr, kGroup},
    {"interface", required_argument, nullptr, kInterface},
    {"tcp", required_argument, nullptr, kTcp},
    {"tcp-listen", required_argument, nullptr, kTcpListen},
    {"file", required_argument, nullptr, kFile},
    {"generic", no_argument, nullptr, kGeneric},
    {"keepalive", no_argument, nullptr, kKeepalive},
    {"quiet", no_argument, nullptr, kQuiet},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// The number of text within [lo, hi] into an int.
bool to_int(const char* text, long lo, long hi, int& out) {
  long v = 0;
  if (!toolkit::parse_whole(text, lo, hi, v)) {
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

bool to_seconds(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= 0) || v > 1e7) {
    return false;
  }
  out = v;
  return true;
}

} // namespace

int parse_options(int argc, char** argv, ProbeOptions& out, std::string& error) {
  opterr = 0;
  optind = 1;
  int code;
  int index = 0;
  while ((code = getopt_long(argc, argv, "", kLongOptions, &index)) != -1) {
    bool ok = true;
    switch (code) {
      case kPort: ok = to_int(optarg, 1, 65534, out.port); break;
      case kDuration: ok = to_seconds(optarg, out.duration); break;
      case kIdle: ok = to_seconds(optarg, out.idle); break;
      case kPayload: ok = to_int(optarg, 0, 127, out.payload); break;
      case kIpv6: out.ipv6 = true; break;
      case kGroup: out.group = optarg; break;
      case kInterface: out.interface = optarg; break;
      case kTcp: out.tcp = optarg; break;
      case kTcpListen: ok = to_int(optarg, 1, 65535, out.tcp_listen); break;
      case kFile: out.file = optarg; break;
      case kGeneric: out.generic = true; break;
      case kKeepalive: out.keepalive = true; break;
      case kQuiet: out.quiet = true; break;
      case kHelp: return 1;
      default:
        error = unparsed_option(argv, kLongOptions);
        return -1;
    }
    if (!ok) {
      error = std::string("invalid value '") + (optarg ? optarg : "") + "' for --" + kLongOptions[index].name;
      return -1;
    }
  }
  if (optind < argc) {
    error = std::string("unexpected argument ") + argv[optind];
    return -1;
  }
  const int sources = (out.port > 0 && out.tcp.empty() && out.tcp_listen < 0 && out.file.empty()) +
                      !out.tcp.empty() + (out.tcp_listen > 0) + !out.file.empty();
  if (sources != 1) {
    error = "give --port, or exactly one of --tcp, --tcp-listen and --file";
    return -1;
  }
  if (!out.group.empty()) {
    if (out.port <= 0 || !out.tcp.empty() || out.tcp_listen > 0 || !out.file.empty()) {
      error = "--group needs UDP (--port without --tcp, --tcp-listen or --file)";
      return -1;
    }
    if (out.group.find(':') != std::string::npos) {
      out.ipv6 = true;
    }
  }
  return 0;
}

} // namespace probe
