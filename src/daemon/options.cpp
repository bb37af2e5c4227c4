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
#include <iterator>
#include <string>
#include <string_view>

#include "net/network.h"
#include "stream/rtcp_thread.h"
#include "stream/rtp_thread.h"
#include "support/command_line.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "main";

namespace {

// Long options in table order: the index is the option's code.
enum option_code {
  kOptDatatype,
  kOptHost,
  kOptDstport,
  kOptTtl,
  kOptTos,
  kOptDevice,
  kOptProtocol,
  kOptSrcport,
  kOptInterleaved,
  kOptSessionId,
  kOptBitrate,
  kOptTimeout,
  kOptFramerate,
  kOptEnableRfc2435,
  kOptDisableStap,
  kOptDisableH264user,
  kOptEnableSdplay,
  kOptPayloadType,
  kOptLog,
  kOptForeground,
  kOptHelp,
  kOptCount,
};

// The usage text and the parser are both made from this table, in this order.
constexpr stream_option kOptions[] = {
    {"datatype", "TYPE", "jpeg, h264, mpeg4, ulaw or onvif_motion; a channel (n), 0..3, may follow (not for ulaw)",
     true},
    {"host", "ADDR", "destination IPv4 or IPv6 address, unicast or multicast (not a host name)", true},
    {"dstport", "N", "destination port, 0..65534", true},
    {"ttl", "N", "TTL or hop limit, 0..255", true},
    {"tos", "N", "type of service of IPv4 packets, 0..255", true},
    {"device", "IF", "network interface to send on, e.g. eth0", true},
    {"protocol", "P", "rtp_udp, or rtp_tcp (then --interleaved too)", true},
    {"srcport", "N", "source port, 0..65534; default 0: (session id + 512) * 2", false},
    {"interleaved", "A-B", "RTP channel A and RTCP channel B of TCP interleaving; default 0-1", false},
    {"session_id", "N", "the session's id; default: register with the session daemon", false},
    {"bitrate", "N", "kbit/s reported at registration; default 0", false},
    {"timeout", "S", "seconds without a receiver keep-alive before a unicast stream ends, 0 = never; default 60",
     false},
    {"framerate", "N", "-60..-1 or 1..30; default 0", false},
    {"enable-rfc2435", "", "JPEG: RFC 2435 headers", false},
    {"disable-stap", "", "H.264: SEI, SPS and PPS as single NAL unit packets instead of STAP-A", false},
    {"disable-h264user", "", "H.264: SEI (user data) units are not sent", false},
    {"enable-sdplay", "", "H.264 from the SD playback store", false},
    {"payload_type", "T", "standard or xmsp (stored only); default standard", false},
    {"log", "N", "0..7: syslog passes priorities 0..N only; default all", false},
    {"foreground", "", "stay in the foreground: no fork, syslog lines also on standard error, real exit status",
     false},
    {"help", "", "this text, exit status 2", false},
};
static_assert(std::size(kOptions) == kOptCount, "one table row per option code");

// getopt_long's view of the table.
struct long_options {
  option entries[kOptCount + 1] = {};
  constexpr long_options() {
    for (int i = 0; i < kOptCount; ++i) {
      entries[i] = {kOptions[i].name, *kOptions[i].value != '\0' ? required_argument : no_argument, nullptr, 0};
    }
  }
};
constexpr long_options kLongOptions;

// Declared to the parser but bound to no option.
constexpr char kShortOptions[] = "t:a:d:s:l:q:e:p:i:b:o:f:r:y:g:h";

constexpr int kDefaultTimeout = 60;
constexpr long kMaxPort = 65534;
constexpr long kMaxByteOption = 255;
constexpr int kMaxChannel = 3;
constexpr int kMaxLogLevel = 7;
// check_device's answer when there is no such interface.
constexpr int kNoSuchDevice = -3;

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

// The payload a datatype argument names (by prefix), or nothing.
const datatype_name* datatype_of(const char* arg) {
  for (const auto& type : kDatatypes) {
    if (std::strncmp(arg, type.prefix, std::strlen(type.prefix)) == 0) {
      return &type;
    }
  }
  return nullptr;
}

void apply_datatype(const datatype_name& type, const char* arg, rtp_thread* thread) {
  thread->payload = type.payload;
  thread->channel = 0;
  const char* paren = std::strchr(arg, '(');
  if (type.payload != kPayloadUlaw && paren != nullptr) {
    // Taken as unsigned: a negative number picks the last channel.
    const auto n = static_cast<unsigned>(leading_number(paren + 1));
    thread->channel = n > kMaxChannel ? kMaxChannel : static_cast<int>(n);
  }
}

// inet_addr reads text that is no address at all as 255.255.255.255, which
// the address check would then pass; such text is refused here.
bool is_ipv4_text(const char* text) {
  in_addr addr{};
  return inet_aton(text, &addr) != 0;
}

// Why a host text is refused, or nothing.
const char* host_refusal(const char* arg) {
  if (std::strchr(arg, ':') != nullptr) {
    return check_ipv6_host(arg) < 0 ? "not an IPv6 address a stream can go to (:: and ::1 cannot)" : nullptr;
  }
  if (!is_ipv4_text(arg)) {
    return "not an IPv4 or IPv6 address (host names are not looked up)";
  }
  return check_ipv4_host(arg) < 0 ? "an IPv4 address no stream can go to (0.x, 127.x or a reserved edge)" : nullptr;
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

std::string refused(const char* what, const char* arg, const char* why) {
  return std::string("invalid ") + what + " [" + arg + "]: " + why;
}

// Why option `code` refuses `arg`, in a person's words; empty when it takes
// it. Nothing is applied or logged (but for check_device's own failures).
std::string value_refusal(int code, const char* arg) {
  long value = 0;
  switch (code) {
  case kOptDatatype:
    return datatype_of(arg) != nullptr ? "" : refused("datatype", arg, "jpeg, h264, mpeg4, ulaw or onvif_motion");
  case kOptHost: {
    const char* why = host_refusal(arg);
    return why == nullptr ? "" : refused("host", arg, why);
  }
  case kOptDstport:
    return parse_whole(arg, 0, kMaxPort, &value) ? "" : refused("dst port", arg, "0..65534");
  case kOptSrcport:
    return parse_whole(arg, 0, kMaxPort, &value) ? "" : refused("src port", arg, "0..65534");
  case kOptTtl:
    return parse_whole(arg, 0, kMaxByteOption, &value) ? "" : refused("ttl", arg, "0..255");
  case kOptTos:
    return parse_whole(arg, 0, kMaxByteOption, &value) ? "" : refused("tos", arg, "0..255");
  case kOptDevice: {
    const int found = check_device(arg);
    return found >= 0 ? ""
                      : refused("device", arg,
                                found == kNoSuchDevice ? "no such interface" : "the interface could not be looked up");
  }
  case kOptProtocol:
    return std::strncmp(arg, "rtp_udp", 7) == 0 || std::strncmp(arg, "rtp_tcp", 7) == 0
               ? ""
               : refused("protocol", arg, "rtp_udp or rtp_tcp");
  case kOptSessionId:
    return parse_whole(arg, INT_MIN, INT_MAX, &value) ? "" : refused("session_id", arg, "a whole number");
  case kOptFramerate:
    value = leading_number(arg);
    return value < -60 || value > 30 || value == 0 ? refused("framerate", arg, "-60..-1 or 1..30") : "";
  case kOptPayloadType:
    return std::strncmp(arg, "standard", 8) == 0 || std::strncmp(arg, "xmsp", 4) == 0
               ? ""
               : refused("payload_type", arg, "standard or xmsp");
  case kOptLog:
    return parse_whole(arg, 0, kMaxLogLevel, &value) ? "" : refused("log", arg, "0..7");
  default:
    return "";
  }
}

// A refused value's own syslog message, where it has one; true when the
// usage text follows it.
bool log_refusal(int code, const char* arg) {
  switch (code) {
  case kOptDatatype: LOG_UNIT(LOG_ERR, "invalid datatype [%s]", arg); return false;
  case kOptHost: LOG_UNIT(LOG_ERR, "invalid host [%s]", arg); return false;
  case kOptDstport: LOG_UNIT(LOG_INFO, "invalid dst port [%s]", arg); return true;
  case kOptSrcport: LOG_UNIT(LOG_INFO, "invalid src port [%s]", arg); return true;
  case kOptTtl: LOG_UNIT(LOG_INFO, "invalid ttl [%s]", arg); return true;
  case kOptTos: LOG_UNIT(LOG_INFO, "invalid tos [%s]", arg); return true;
  case kOptProtocol: LOG_UNIT(LOG_ERR, "invalid protocol [%s]", arg); return false;
  case kOptSessionId: LOG_UNIT(LOG_INFO, "invalid session_id [%s]", arg); return true;
  case kOptFramerate: LOG_UNIT(LOG_ERR, "invalid framerate [%s]", arg); return false;
  case kOptPayloadType: LOG_UNIT(LOG_ERR, "invalid payload_type [%s]", arg); return false;
  default: return true; // device and log: the usage text only
  }
}

// The reason of a refusal, for whoever typed the command: one line on
// standard error after whatever else the refusal shows (syslog keeps its
// own message).
void say_refusal(const char* argv0, const std::string& why) {
  const char* slash = std::strrchr(argv0, '/');
  std::fprintf(stderr, "%s: %s\n", slash != nullptr ? slash + 1 : argv0, why.c_str());
  std::fflush(stderr);
}

// What getopt_long could not take: an option of its own, or a letter of
// the short options that are declared but bound to nothing.
std::string unparsed(char* argv[], int c) {
  return c == '?' ? unparsed_option(argv, kLongOptions.entries)
                  : std::string("short options are not accepted (-") + static_cast<char>(c) +
                        "); every option is a long one";
}

} // namespace

std::span<const stream_option> stream_options() { return kOptions; }

std::string stream_option_refusal(std::string_view name, const char* value) {
  for (int code = 0; code < kOptCount; ++code) {
    if (name == kOptions[code].name) {
      return value_refusal(code, value != nullptr ? value : "");
    }
  }
  return "unknown option --" + std::string(name);
}

int chosen_log_mask() { return g_log_mask.load(std::memory_order_relaxed); }

void show_usage(char* argv[]) {
  AVTD_ASSERT(argv != nullptr, "argv != ((void *)0)");
  std::fprintf(stderr, "usage: %s", argv[0]);
  for (const stream_option& o : kOptions) {
    if (o.required) std::fprintf(stderr, " --%s=%s", o.name, o.value);
  }
  std::fprintf(stderr, " [option...]\n");
  for (const bool required : {true, false}) {
    std::fprintf(stderr, required ? "required:\n" : "options:\n");
    for (const stream_option& o : kOptions) {
      if (o.required != required) continue;
      const std::string form = std::string(o.name) + (*o.value != '\0' ? "=" : "") + o.value;
      std::fprintf(stderr, "  --%-18s %s\n", form.c_str(), o.text);
    }
  }
  std::fflush(stderr);
}

int analyze_options(int argc, char* argv[], rtp_thread* thread, rtcp_thread* rtcp, bool* foreground) {
  AVTD_ASSERT(argv != nullptr && *argv != nullptr, "*argv != ((void *)0)");
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  AVTD_ASSERT(rtcp != nullptr, "rtcp != ((void *)0)");

  given_options given;
  opterr = 0;
  optind = 0; // full re-initialisation, so that repeated calls parse afresh

  for (;;) {
    int index = -1;
    const int c = getopt_long(argc, argv, kShortOptions, kLongOptions.entries, &index);
    if (c == -1) {
      break;
    }
    if (c != 0 || index < 0) {
      // Short letters, unknown options and missing arguments.
      show_usage(argv);
      say_refusal(argv[0], unparsed(argv, c));
      return -1;
    }
    const char* arg = optarg;
    if (const std::string why = value_refusal(index, arg != nullptr ? arg : ""); !why.empty()) {
      if (log_refusal(index, arg)) {
        show_usage(argv);
      }
      say_refusal(argv[0], why);
      return -1;
    }
    switch (index) {
    case kOptDatatype:
      apply_datatype(*datatype_of(arg), arg, thread);
      given.datatype = true;
      break;
    case kOptHost:
      // Valid address text always fits; the bound keeps the field terminated.
      std::snprintf(thread->ns.host, sizeof thread->ns.host, "%s", arg);
      given.host = true;
      break;
    case kOptDstport:
      thread->ns.dstport = static_cast<uint32_t>(std::strtol(arg, nullptr, 10));
      given.dstport = true;
      break;
    case kOptSrcport:
      thread->ns.srcport = static_cast<uint32_t>(std::strtol(arg, nullptr, 10));
      break;
    case kOptTtl:
      thread->ns.ttl = static_cast<uint32_t>(std::strtol(arg, nullptr, 10));
      given.ttl = true;
      break;
    case kOptTos:
      thread->ns.tos = static_cast<uint32_t>(std::strtol(arg, nullptr, 10));
      given.tos = true;
      break;
    case kOptDevice:
      std::memset(thread->ns.device, 0, sizeof thread->ns.device);
      std::strncpy(thread->ns.device, arg, sizeof thread->ns.device - 1);
      given.device = true;
      break;
    case kOptProtocol:
      thread->ns.protocol = std::strncmp(arg, "rtp_udp", 7) == 0 ? kProtocolUdp : kProtocolTcp;
      rtcp->ns.protocol = thread->ns.protocol;
      given.protocol = true;
      break;
    case kOptSessionId:
      thread->session_id = static_cast<int>(std::strtol(arg, nullptr, 10));
      break;
    case kOptBitrate:
      thread->bitrate = static_cast<uint32_t>(leading_number(arg));
      break;
    case kOptTimeout:
      thread->timeout = static_cast<int>(leading_number(arg));
      given.timeout = true;
      break;
    case kOptFramerate:
      thread->framerate = static_cast<int>(leading_number(arg));
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
      thread->payload_type = std::strncmp(arg, "standard", 8) == 0 ? 0 : 1;
      break;
    case kOptEnableSdplay:
      thread->enable_sdplay = true;
      syslog(LOG_INFO, "SDPLAY_ON\n");
      break;
    case kOptInterleaved:
      parse_interleaved(arg, thread, rtcp);
      given.interleaved = true;
      break;
    case kOptLog: {
      const long level = std::strtol(arg, nullptr, 10);
      setlogmask(LOG_UPTO(level));
      g_log_mask.store(LOG_UPTO(level), std::memory_order_relaxed);
      break;
    }
    case kOptForeground:
      if (foreground != nullptr) *foreground = true;
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
    std::string missing;
    // The required options lead the table, in this order.
    const bool have[] = {given.datatype, given.host, given.dstport, given.ttl, given.tos, given.device, given.protocol};
    for (int i = 0; i < static_cast<int>(std::size(have)); ++i) {
      if (!have[i]) missing += std::string(missing.empty() ? "" : ", ") + "--" + kOptions[i].name;
    }
    say_refusal(argv[0], "required option missing: " + missing);
    return -1;
  }
  if (!given.timeout) {
    thread->timeout = kDefaultTimeout;
  }
  if (thread->ns.protocol == kProtocolTcp && !given.interleaved) {
    LOG_UNIT(LOG_INFO, "too few option(rtp_tcp)");
    say_refusal(argv[0], "--protocol=rtp_tcp needs --interleaved=A-B");
    return -1;
  }
  return 0;
}
