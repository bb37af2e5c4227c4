// Parsing of the long options into the stream and RTCP records.
#include "daemon/options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/network.h"
#include "stream/rtcp_thread.h"
#include "stream/rtp_thread.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "main";

namespace {

// Long options in table order: the index is the option's code.
enum option_code {
  kOptDatatype,
  kOptHost,
  kOptDstport,
  kOptSrcport,
  kOptTtl,
  kOptTos,
  kOptDevice,
  kOptProtocol,
  kOptSessionId,
  kOptBitrate,
  kOptTimeout,
  kOptFramerate,
  kOptEnableRfc2435,
  kOptDisableStap,
  kOptDisableH264user,
  kOptPayloadType,
  kOptEnableSdplay,
  kOptInterleaved,
  kOptLog,
  kOptHelp,
};

const option kLongOptions[] = {
    {"datatype", required_argument, nullptr, 0},
    {"host", required_argument, nullptr, 0},
    {"dstport", required_argument, nullptr, 0},
    {"srcport", required_argument, nullptr, 0},
    {"ttl", required_argument, nullptr, 0},
    {"tos", required_argument, nullptr, 0},
    {"device", required_argument, nullptr, 0},
    {"protocol", required_argument, nullptr, 0},
    {"session_id", required_argument, nullptr, 0},
    {"bitrate", required_argument, nullptr, 0},
    {"timeout", required_argument, nullptr, 0},
    {"framerate", required_argument, nullptr, 0},
    {"enable-rfc2435", no_argument, nullptr, 0},
    {"disable-stap", no_argument, nullptr, 0},
    {"disable-h264user", no_argument, nullptr, 0},
    {"payload_type", required_argument, nullptr, 0},
    {"enable-sdplay", no_argument, nullptr, 0},
    {"interleaved", required_argument, nullptr, 0},
    {"log", required_argument, nullptr, 0},
    {"help", no_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};

// Declared to the parser but bound to no option.
constexpr char kShortOptions[] = "t:a:d:s:l:q:e:p:i:b:o:f:r:y:g:h";

constexpr int kDefaultTimeout = 60;
constexpr long kMaxPort = 65534;
constexpr long kMaxByteOption = 255;
constexpr int kMaxChannel = 3;
constexpr int kMaxLogLevel = 7;

std::atomic<int> g_log_mask{LOG_UPTO(LOG_DEBUG)};

// Options whose absence makes the command line incomplete.
struct given_options {
  bool datatype = false;
  bool host = false;
  bool dstport = false;
  bool ttl = false;
  bool tos = false;
  bool device = false;
  bool protocol = false;
  bool timeout = false;
  bool interleaved = false;

  bool complete() const { return datatype && host && dstport && ttl && tos && device && protocol; }
};

// A decimal number filling the whole text, within [low, high].
bool parse_whole(const char* text, long low, long high, long* value) {
  if (text == nullptr || *text == '\0') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) {
    return false;
  }
  *value = v;
  return true;
}

// The leading decimal digits, as atoi reads them (0 when there are none),
// saturated so that overlong numbers cannot overflow.
long leading_number(const char* text) {
  errno = 0;
  const long v = std::strtol(text, nullptr, 10);
  if (v > INT_MAX) {
    return INT_MAX;
  }
  if (v < INT_MIN) {
    return INT_MIN;
  }
  return v;
}

struct datatype_name {
  const char* prefix;
  int payload;
};
constexpr datatype_name kDatatypes[] = {
    {"mpeg4", kPayloadMpeg4}, {"jpeg", kPayloadJpeg}, {"h264", kPayloadH264},
    {"ulaw", kPayloadUlaw},   {"onvif_motion", kPayloadMetadata},
};

bool parse_datatype(const char* arg, rtp_thread* thread) {
  for (const auto& type : kDatatypes) {
    if (std::strncmp(arg, type.prefix, std::strlen(type.prefix)) != 0) {
      continue;
    }
    thread->payload = type.payload;
    thread->channel = 0;
    const char* paren = std::strchr(arg, '(');
    if (type.payload != kPayloadUlaw && paren != nullptr) {
      // Taken as unsigned: a negative number picks the last channel.
      const auto n = static_cast<unsigned>(leading_number(paren + 1));
      thread->channel = n > kMaxChannel ? kMaxChannel : static_cast<int>(n);
    }
    return true;
  }
  return false;
}

// inet_addr reads text that is no address at all as 255.255.255.255, which
// the address check would then pass; such text is refused here.
bool is_ipv4_text(const char* text) {
  in_addr addr{};
  return inet_aton(text, &addr) != 0;
}

bool parse_host(const char* arg, network_setting* ns) {
  if (std::strchr(arg, ':') != nullptr) {
    if (check_ipv6_host(arg) < 0) {
      return false;
    }
  } else if (!is_ipv4_text(arg) || check_ipv4_host(arg) < 0) {
    return false;
  }
  // Valid address text always fits; the bound keeps the field terminated.
  std::snprintf(ns->host, sizeof ns->host, "%s", arg);
  return true;
}

void parse_interleaved(const char* arg, rtp_thread* thread, rtcp_thread* rtcp) {
  thread->interleaved = static_cast<int>(leading_number(arg));
  // The first number may carry a sign of its own; the separator comes after it.
  const char* dash = std::strchr(*arg == '-' || *arg == '+' ? arg + 1 : arg, '-');
  if (dash == nullptr) {
    LOG_UNIT(LOG_ERR, "invalid interleaved [%s]", arg);
    return;
  }
  rtcp->interleaved = static_cast<int>(leading_number(dash + 1));
}

} // namespace

int chosen_log_mask() { return g_log_mask.load(std::memory_order_relaxed); }

void show_usage(char* argv[]) {
  AVTD_ASSERT(argv != nullptr, "argv != ((void *)0)");
  std::fprintf(stderr, "usage: %s \n", argv[0]);
  std::fprintf(stderr, "[--encode=<jpeg, mpeg4, ulaw>] --bitrate=(64-24000)\n");
  std::fprintf(stderr, "[--host=<ip address>] [--port=(1-65535)] [--ttl=(1-255)]\n");
  std::fprintf(stderr, "[--tos=(0-255)] [--framerate=(NTSC:-30-30, PAL:-30-25)]\n");
  std::fprintf(stderr, "[--device=eth0] [--log=(0-7)] [--help]\n");
  std::fflush(stderr);
}

int analyze_options(int argc, char* argv[], rtp_thread* thread, rtcp_thread* rtcp) {
  AVTD_ASSERT(argv != nullptr && *argv != nullptr, "*argv != ((void *)0)");
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  AVTD_ASSERT(rtcp != nullptr, "rtcp != ((void *)0)");

  given_options given;
  opterr = 0;
  optind = 0; // full re-initialisation, so that repeated calls parse afresh

  for (;;) {
    int index = -1;
    const int c = getopt_long(argc, argv, kShortOptions, kLongOptions, &index);
    if (c == -1) {
      break;
    }
    if (c != 0 || index < 0) {
      // Short letters, unknown options and missing arguments.
      show_usage(argv);
      return -1;
    }
    const char* arg = optarg;
    long value = 0;
    switch (index) {
    case kOptDatatype:
      if (!parse_datatype(arg, thread)) {
        LOG_UNIT(LOG_ERR, "invalid datatype [%s]", arg);
        return -1;
      }
      given.datatype = true;
      break;
    case kOptHost:
      if (!parse_host(arg, &thread->ns)) {
        LOG_UNIT(LOG_ERR, "invalid host [%s]", arg);
        return -1;
      }
      given.host = true;
      break;
    case kOptDstport:
      if (!parse_whole(arg, 0, kMaxPort, &value)) {
        LOG_UNIT(LOG_INFO, "invalid dst port [%s]", arg);
        show_usage(argv);
        return -1;
      }
      thread->ns.dstport = static_cast<uint32_t>(value);
      given.dstport = true;
      break;
    case kOptSrcport:
      if (!parse_whole(arg, 0, kMaxPort, &value)) {
        LOG_UNIT(LOG_INFO, "invalid src port [%s]", arg);
        show_usage(argv);
        return -1;
      }
      thread->ns.srcport = static_cast<uint32_t>(value);
      break;
    case kOptTtl:
      if (!parse_whole(arg, 0, kMaxByteOption, &value)) {
        LOG_UNIT(LOG_INFO, "invalid ttl [%s]", arg);
        show_usage(argv);
        return -1;
      }
      thread->ns.ttl = static_cast<uint32_t>(value);
      given.ttl = true;
      break;
    case kOptTos:
      if (!parse_whole(arg, 0, kMaxByteOption, &value)) {
        LOG_UNIT(LOG_INFO, "invalid tos [%s]", arg);
        show_usage(argv);
        return -1;
      }
      thread->ns.tos = static_cast<uint32_t>(value);
      given.tos = true;
      break;
    case kOptDevice:
      if (check_device(arg) < 0) {
        show_usage(argv);
        return -1;
      }
      std::memset(thread->ns.device, 0, sizeof thread->ns.device);
      std::strncpy(thread->ns.device, arg, sizeof thread->ns.device - 1);
      given.device = true;
      break;
    case kOptProtocol:
      if (std::strncmp(arg, "rtp_udp", 7) == 0) {
        thread->ns.protocol = kProtocolUdp;
      } else if (std::strncmp(arg, "rtp_tcp", 7) == 0) {
        thread->ns.protocol = kProtocolTcp;
      } else {
        LOG_UNIT(LOG_ERR, "invalid protocol [%s]", arg);
        return -1;
      }
      rtcp->ns.protocol = thread->ns.protocol;
      given.protocol = true;
      break;
    case kOptSessionId:
      if (!parse_whole(arg, INT_MIN, INT_MAX, &value)) {
        LOG_UNIT(LOG_INFO, "invalid session_id [%s]", arg);
        show_usage(argv);
        return -1;
      }
      thread->session_id = static_cast<int>(value);
      break;
    case kOptBitrate:
      thread->bitrate = static_cast<uint32_t>(leading_number(arg));
      break;
    case kOptTimeout:
      thread->timeout = static_cast<int>(leading_number(arg));
      given.timeout = true;
      break;
    case kOptFramerate:
      value = leading_number(arg);
      if (value < -60 || value > 30 || value == 0) {
        LOG_UNIT(LOG_ERR, "invalid framerate [%s]", arg);
        return -1;
      }
      thread->framerate = static_cast<int>(value);
      break;
    case kOptEnableRfc2435:
      thread->enable_rfc2435 = true;
      break;
    case kOptDisableStap:
      thread->disable_stap = true;
      break;
    case kOptDisableH264user:
      thread->disable_h264user = true;
      break;
    case kOptPayloadType:
      if (std::strncmp(arg, "standard", 8) == 0) {
        thread->payload_type = 0;
      } else if (std::strncmp(arg, "xmsp", 4) == 0) {
        thread->payload_type = 1;
      } else {
        LOG_UNIT(LOG_ERR, "invalid payload_type [%s]", arg);
        return -1;
      }
      break;
    case kOptEnableSdplay:
      thread->enable_sdplay = true;
      syslog(LOG_INFO, "SDPLAY_ON\n");
      break;
    case kOptInterleaved:
      parse_interleaved(arg, thread, rtcp);
      given.interleaved = true;
      break;
    case kOptLog:
      if (!parse_whole(arg, 0, kMaxLogLevel, &value)) {
        show_usage(argv);
        return -1;
      }
      setlogmask(LOG_UPTO(value));
      g_log_mask.store(LOG_UPTO(value), std::memory_order_relaxed);
      break;
    case kOptHelp:
    default:
      show_usage(argv);
      return -1;
    }
  }

  if (!given.complete()) {
    std::puts("too few option");
    std::fflush(stdout);
    show_usage(argv);
    return -1;
  }
  if (!given.timeout) {
    thread->timeout = kDefaultTimeout;
  }
  if (thread->ns.protocol == kProtocolTcp && !given.interleaved) {
    LOG_UNIT(LOG_INFO, "too few option(rtp_tcp)");
    return -1;
  }
  return 0;
}
