#include "options.h"

#include <getopt.h>

#include "daemon/options.h"
#include "support/command_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sdp_text.h"
#include "toolkit/number.h"

namespace sdp {

const char kUsage[] =
    "usage: avtd-sdp --datatype=<h264|jpeg|mpeg4|ulaw|onvif_motion>[(n)] --host=ADDR --dstport=PORT\n"
    "                [--ttl=N] [--protocol=rtp_udp|rtp_tcp] [--interleaved=A-B] [daemon options...]\n"
    "                [--store=PATH [--store-number=N] | --no-store] [--wait=S] [--origin=ADDR]\n"
    "Prints the session description a receiver needs for the stream the daemon sends with the\n"
    "same options. Daemon options that do not change the description are accepted and ignored.\n"
    "  --store=PATH      frame store to read the H.264 parameter sets, the MPEG-4 configuration\n"
    "                    or the JPEG picture size from (default: the channel's store, if present)\n"
    "  --store-number=N  configuration number of that store (default: the channel's)\n"
    "  --no-store        do not read any store\n"
    "  --wait=S          wait up to S seconds for a key frame when the store holds none (default 2)\n"
    "  --origin=ADDR     address for the o= line (default: the --device address, else unspecified)\n";

namespace {

enum Code { kDatatype = 1000, kHost, kDstport, kSrcport, kTtl, kTos, kDevice, kProtocol, kSessionId, kBitrate,
            kTimeout, kFramerate, kRfc2435, kDisableStap, kDisableUser, kPayloadType, kSdplay, kInterleaved,
            kLog, kHelp, kStore, kStoreNumber, kNoStore, kWait, kOrigin };

const option kLongOptions[] = {
    {"datatype", required_argument, nullptr, kDatatype},
    {"host", required_argument, nullptr, kHost},
    {"dstport", required_argument, nullptr, kDstport},
    {"srcport", required_argument, nullptr, kSrcport},
    {"ttl", required_argument, nullptr, kTtl},
    {"tos", required_argument, nullptr, kTos},
    {"device", required_argument, nullptr, kDevice},
    {"protocol", required_argument, nullptr, kProtocol},
    {"session_id", required_argument, nullptr, kSessionId},
    {"bitrate", required_argument, nullptr, kBitrate},
    {"timeout", required_argument, nullptr, kTimeout},
    {"framerate", required_argument, nullptr, kFramerate},
    {"enable-rfc2435", no_argument, nullptr, kRfc2435},
    {"disable-stap", no_argument, nullptr, kDisableStap},
    {"disable-h264user", no_argument, nullptr, kDisableUser},
    {"payload_type", required_argument, nullptr, kPayloadType},
    {"enable-sdplay", no_argument, nullptr, kSdplay},
    {"interleaved", required_argument, nullptr, kInterleaved},
    {"log", required_argument, nullptr, kLog},
    {"help", no_argument, nullptr, kHelp},
    {"store", required_argument, nullptr, kStore},
    {"store-number", required_argument, nullptr, kStoreNumber},
    {"no-store", no_argument, nullptr, kNoStore},
    {"wait", required_argument, nullptr, kWait},
    {"origin", required_argument, nullptr, kOrigin},
    {nullptr, 0, nullptr, 0},
};

using toolkit::parse_whole;

// The daemon's datatype rule: prefix match, then an optional "(n)" channel.
bool parse_datatype(const char* text, SdpOptions& out) {
  struct Type {
    const char* prefix;
    int payload;
  };
  static constexpr Type kTypes[] = {{"mpeg4", kPayloadMpeg4}, {"jpeg", kPayloadJpeg}, {"h264", kPayloadH264},
                                    {"ulaw", kPayloadUlaw},   {"onvif_motion", kPayloadMetadata}};
  for (const Type& t : kTypes) {
    if (std::strncmp(text, t.prefix, std::strlen(t.prefix)) == 0) {
      out.payload = t.payload;
      out.channel = 0;
      const char* paren = std::strchr(text, '(');
      if (paren != nullptr && t.payload != kPayloadUlaw) {
        const unsigned long n = std::strtoul(paren + 1, nullptr, 10);
        out.channel = n > 3 ? 3 : static_cast<int>(n);
      }
      return true;
    }
  }
  return false;
}

} // namespace

int parse_options(int argc, char** argv, SdpOptions& out, std::string& error) {
  opterr = 0;
  optind = 1;
  int code;
  int index = 0;
  bool interleaved = false;
  while ((code = getopt_long(argc, argv, "", kLongOptions, &index)) != -1) {
    long v = 0;
    bool ok = true;
    // The daemon's options take exactly what the daemon takes.
    if (code >= kDatatype && code <= kLog) {
      if (std::string why = stream_option_refusal(kLongOptions[index].name, optarg); !why.empty()) {
        error = why;
        return -1;
      }
    }
    switch (code) {
      case kDatatype: ok = parse_datatype(optarg, out); break;
      case kHost: out.host = optarg; break;
      case kDstport: ok = parse_whole(optarg, 0, 65534, v); out.dstport = static_cast<unsigned>(v); break;
      case kTtl: ok = parse_whole(optarg, 0, 255, v); out.ttl = static_cast<unsigned>(v); break;
      case kDevice: out.device = optarg; break;
      case kProtocol:
        ok = std::strncmp(optarg, "rtp_udp", 7) == 0 || std::strncmp(optarg, "rtp_tcp", 7) == 0;
        out.tcp = std::strncmp(optarg, "rtp_tcp", 7) == 0;
        break;
      case kSessionId: ok = parse_whole(optarg, -2147483648L, 2147483647L, out.session_id); break;
      case kBitrate: out.bitrate = static_cast<unsigned>(std::strtoul(optarg, nullptr, 10)); break;
      case kFramerate: out.framerate = static_cast<int>(std::strtol(optarg, nullptr, 10)); break;
      case kRfc2435: out.enable_rfc2435 = true; break;
      case kSdplay: out.enable_sdplay = true; break;
      case kInterleaved: {
        interleaved = true;
        char* end = nullptr;
        out.rtp_channel = static_cast<int>(std::strtol(optarg, &end, 10));
        if (*end == '-') {
          out.rtcp_channel = static_cast<int>(std::strtol(end + 1, nullptr, 10));
        }
        break;
      }
      case kStore: out.store = optarg; break;
      case kStoreNumber: ok = parse_whole(optarg, 0, 2147483647L, v); out.store_number = static_cast<int>(v); break;
      case kNoStore: out.no_store = true; break;
      case kWait: {
        char* end = nullptr;
        out.wait = std::strtod(optarg, &end);
        ok = end != optarg && *end == '\0' && out.wait >= 0 && out.wait <= 3600;
        break;
      }
      case kOrigin: out.origin = optarg; break;
      case kSrcport: case kTos: case kTimeout: case kDisableStap: case kDisableUser: case kPayloadType: case kLog:
        break; // they do not change what a receiver needs
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
  if (out.tcp && !interleaved) {
    error = "--protocol=rtp_tcp needs --interleaved=A-B";
    return -1;
  }
  if (out.payload < 0 || out.host.empty()) {
    error = "--datatype and --host are needed";
    return -1;
  }
  return 0;
}

} // namespace sdp
