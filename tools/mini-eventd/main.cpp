// mini-eventd: a stand-in event service for development and tests.
//
//   mini-eventd [--family 2|10] [--interval-ms N] [--payload FILE] [--log FILE]
//
// Writes the address file, listens as endpoint 512 and writes one JSON line
// per message received to FILE (default standard output). While a metadata
// endpoint is subscribed (a metadata control request with mode 1, until one
// with mode 0) it delivers the payload of --payload (default: a small motion
// event document) to it every N ms (default 1000) and writes a
// {"op":"delivery",...} line for each attempt. Ends on SIGTERM or SIGINT.
#include <getopt.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "default_payload.h"
#include "describe.h"
#include "support/command_line.h"
#include "event/onvif_event_ipc.h"
#include "json_line.h"
#include "toolkit/number.h"
#include "toolkit/stop_signals.h"

namespace {

constexpr char kUsage[] =
    "usage: mini-eventd [--family 2|10] [--interval-ms N] [--payload FILE] [--log FILE]\n"
    "A stand-in event service: writes /tmp/onvif_ipc_sockd, listens as endpoint 512 and\n"
    "writes one JSON line per message it receives.\n"
    "  --family 2|10     address family of its endpoints, IPv4 or IPv6 (default 2)\n"
    "  --interval-ms N   while a metadata endpoint is subscribed, deliver every N ms (default 1000)\n"
    "  --payload FILE    the document to deliver (default: a small motion event document)\n"
    "  --log FILE        append the JSON lines to FILE (default standard output)\n"
    "  --help            this text\n"
    "Removes the address file and ends on SIGTERM or SIGINT.\n";
constexpr int kLongestWaitMs = 100; // how soon a termination signal is noticed

std::atomic<int> g_stop{0};

void on_signal(int) { g_stop.store(1); }

struct options {
  int family = 2;
  int interval_ms = 1000;
  const char* payload_file = nullptr;
  const char* log_file = nullptr;
};

bool parse_int(const char* text, int low, int high, int* out) {
  long v = 0;
  if (!toolkit::parse_whole(text, low, high, v)) {
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

// Empty when the command line was taken, else why not ("help" for --help).
std::string parse_options(int argc, char** argv, options* o) {
  static const option kLong[] = {
      {"family", required_argument, nullptr, 'f'},
      {"interval-ms", required_argument, nullptr, 'i'},
      {"payload", required_argument, nullptr, 'p'},
      {"log", required_argument, nullptr, 'l'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    switch (c) {
      case 'f':
        if (!parse_int(optarg, 2, 10, &o->family) || (o->family != 2 && o->family != 10)) {
          return std::string("invalid family ") + optarg + " (2 or 10)";
        }
        break;
      case 'i':
        if (!parse_int(optarg, 1, 3600000, &o->interval_ms)) {
          return std::string("invalid interval ") + optarg + " (1..3600000 ms)";
        }
        break;
      case 'p':
        o->payload_file = optarg;
        break;
      case 'l':
        o->log_file = optarg;
        break;
      case 'h':
        return "help";
      default:
        return unparsed_option(argv, kLong);
    }
  }
  return optind == argc ? "" : std::string("unexpected argument ") + argv[optind];
}

bool load_payload(const char* path, std::string* payload) {
  if (path == nullptr) {
    *payload = kDefaultPayload;
    return true;
  }
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    return false;
  }
  char chunk[4096];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && payload->size() <= kIpcDeliveryMaxPayload) {
    payload->append(chunk, n);
  }
  std::fclose(f);
  return payload->size() <= kIpcDeliveryMaxPayload;
}

class event_service {
 public:
  event_service(FILE* log, std::string payload) : log_(log), payload_(std::move(payload)) {}

  void handle(const unsigned char* msg, size_t size) {
    request_effect effect;
    write(describe_message(msg, size, &effect));
    auto found = std::find(subscribers_.begin(), subscribers_.end(), effect.endpoint);
    if (effect.subscribe && found == subscribers_.end()) {
      subscribers_.push_back(effect.endpoint);
    } else if (effect.unsubscribe && found != subscribers_.end()) {
      subscribers_.erase(found);
    }
  }

  bool subscribed() const { return !subscribers_.empty(); }

  void deliver() {
    std::vector<unsigned char> msg(kIpcDeliveryOffPayload + payload_.size());
    ipc_put_le32(msg.data(), kIpcDeliveryOffLength, static_cast<uint32_t>(payload_.size()));
    std::memcpy(msg.data() + kIpcDeliveryOffPayload, payload_.data(), payload_.size());
    for (const uint32_t endpoint : subscribers_) {
      ipc_write_header(msg.data(), kIpcTypeMetadataDelivery, kIpcEventServiceId, endpoint);
      ipc_handle h = 0;
      int result = IPC_iOpen(endpoint, kIpcModeConnect, &h);
      if (result == 0) {
        result = IPC_iSend(h, msg.data(), static_cast<uint32_t>(msg.size()));
        IPC_iClose(h);
      }
      json_line line;
      write(line.str("op", "delivery").num("dest_id", endpoint).num("length", payload_.size())
                .num("result", result).done());
    }
  }

  void write(const std::string& line) {
    std::fputs(line.c_str(), log_);
    std::fflush(log_);
  }

 private:
  FILE* log_;
  std::string payload_;
  std::vector<uint32_t> subscribers_;
};

} // namespace

int main(int argc, char** argv) {
  options opts;
  if (const std::string why = parse_options(argc, argv, &opts); why == "help") {
    return show_help(kUsage);
  } else if (!why.empty()) {
    return refuse_command_line("mini-eventd", why, kUsage);
  }
  std::string payload;
  if (!load_payload(opts.payload_file, &payload)) {
    std::fprintf(stderr, "mini-eventd: cannot use payload %s (at most %zu bytes)\n", opts.payload_file,
                 kIpcDeliveryMaxPayload);
    return 2;
  }
  FILE* log = opts.log_file != nullptr ? std::fopen(opts.log_file, "a") : stdout;
  if (log == nullptr) {
    std::fprintf(stderr, "mini-eventd: cannot open %s\n", opts.log_file);
    return 2;
  }
  toolkit::on_stop_signals(on_signal);

  ipc_service_sockets sockets{};
  if (IPC_iStartSock(&sockets, opts.family) != 0 ||
      IPC_iOpen(kIpcEventServiceId, kIpcModeListen, &sockets.handle[0]) != 0) {
    std::fprintf(stderr, "mini-eventd: cannot start the event service\n");
    IPC_iEnd(&sockets);
    return 1;
  }

  event_service service(log, std::move(payload));
  std::vector<unsigned char> buffer(kIpcMaxMessage);
  using clock = std::chrono::steady_clock;
  const auto interval = std::chrono::milliseconds(opts.interval_ms);
  auto next_delivery = clock::now() + interval;
  while (g_stop.load() == 0) {
    const auto now = clock::now();
    if (service.subscribed() && now >= next_delivery) {
      service.deliver();
      next_delivery += interval;
      if (next_delivery < now) {
        next_delivery = now + interval; // never deliver in bursts to catch up
      }
      continue;
    }
    if (!service.subscribed()) {
      next_delivery = now + interval; // the first delivery one interval after subscribing
    }
    const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(next_delivery - now).count();
    const int wait = static_cast<int>(std::clamp<long long>(until, 0, kLongestWaitMs));
    if (IPC_iSelect(sockets.handle[0], wait) != 0) {
      continue;
    }
    uint32_t length = 0;
    const int result = IPC_iReceive(sockets.handle[0], buffer.data(), &length, kIpcMaxMessage);
    if (result == 0) {
      service.handle(buffer.data(), kIpcMaxMessage);
    } else if (result != kIpcNothingPending) {
      json_line line;
      service.write(line.str("op", "receive_error").num("code", result).done());
    }
  }
  IPC_iEnd(&sockets);
  if (log != stdout) {
    std::fclose(log);
  }
  return 0;
}
