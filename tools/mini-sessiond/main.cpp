// mini-sessiond [--framerate N] [--refuse] [--log FILE]
// A stand-in session daemon on "/tmp/session" for development and tests:
// assigns session ids 1, 2, ..., answers registrations, bit-rate updates,
// removals and the frame-rate query, and logs every request as a JSON line.
// Runs until SIGTERM or SIGINT and then removes its socket.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/session_wire.h"
#include "support/command_line.h"
#include "requests.h"
#include "service.h"

namespace {

struct sessiond_config {
  std::string framerate = "30"; // the frame-rate reply, as decimal text
  bool refuse = false;          // refuse every registration
};

// The recorder's policy: ids 1, 2, ... (or every registration refused),
// one fixed frame rate for every asker.
class recorder_policy : public session_policy {
 public:
  explicit recorder_policy(sessiond_config config) : config_(std::move(config)) {}
  int add(const session_info&) override {
    if (config_.refuse) {
      return -1;
    }
    live_.push_back(next_id_);
    return next_id_++;
  }
  bool update(int session_id, uint32_t) override {
    return std::find(live_.begin(), live_.end(), session_id) != live_.end();
  }
  bool remove(int session_id) override {
    const auto it = std::find(live_.begin(), live_.end(), session_id);
    if (it == live_.end()) {
      return false;
    }
    live_.erase(it);
    return true;
  }
  std::string framerate(pid_t) override { return config_.framerate; }

 private:
  sessiond_config config_;
  int next_id_ = 1;
  std::vector<int> live_;
};

constexpr char kUsage[] =
    "usage: mini-sessiond [--framerate N] [--refuse] [--log FILE]\n"
    "A stand-in session daemon on /tmp/session: ids 1, 2, ...; one JSON line per request.\n"
    "  --framerate N  the answer to the frame-rate query (default 30)\n"
    "  --refuse       refuse every registration\n"
    "  --log FILE     append the request lines to FILE (default standard output)\n"
    "  --help         this text\n"
    "Runs until SIGTERM or SIGINT, then removes its socket.\n";

const option kOptions[] = {{"framerate", required_argument, nullptr, 'f'},
                           {"refuse", no_argument, nullptr, 'r'},
                           {"log", required_argument, nullptr, 'l'},
                           {"help", no_argument, nullptr, 'h'},
                           {nullptr, 0, nullptr, 0}};

// Empty when the command line was taken, else why not ("help" for --help).
std::string parse_args(int argc, char* argv[], sessiond_config* config, const char** log_path) {
  opterr = 0;
  for (;;) {
    const int c = getopt_long(argc, argv, "", kOptions, nullptr);
    if (c == -1) {
      return optind == argc ? "" : std::string("unexpected argument ") + argv[optind];
    }
    switch (c) {
    case 'f': {
      char* end = nullptr;
      std::strtod(optarg, &end);
      if (*optarg == '\0' || *end != '\0') {
        return std::string("invalid frame rate ") + optarg;
      }
      config->framerate = optarg;
      break;
    }
    case 'r':
      config->refuse = true;
      break;
    case 'l':
      *log_path = optarg;
      break;
    case 'h':
      return "help";
    default:
      return unparsed_option(argv, kOptions);
    }
  }
}

} // namespace

int main(int argc, char* argv[]) {
  sessiond_config config;
  const char* log_path = nullptr;
  if (const std::string why = parse_args(argc, argv, &config, &log_path); why == "help") {
    return show_help(kUsage);
  } else if (!why.empty()) {
    return refuse_command_line("mini-sessiond", why, kUsage);
  }
  FILE* log = stdout;
  if (log_path != nullptr) {
    log = std::fopen(log_path, "a");
    if (log == nullptr) {
      std::fprintf(stderr, "mini-sessiond: cannot open %s: %s\n", log_path, std::strerror(errno));
      return 1;
    }
  }

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int sig_fd = signalfd(-1, &stop, SFD_CLOEXEC);
  recorder_policy policy(config);
  session_registry registry(policy, log);
  session_service service(registry);
  if (sig_fd < 0 || !service.listen_on(kSessionServicePath)) {
    std::fprintf(stderr, "mini-sessiond: cannot listen on %s: %s\n", kSessionServicePath, std::strerror(errno));
    return 1;
  }

  for (;;) {
    std::vector<pollfd> fds{{sig_fd, POLLIN, 0}};
    service.add_poll_fds(fds);
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (fds[0].revents != 0) {
      break;
    }
    service.serve(fds, 1);
  }

  service.close_all();
  if (log != stdout) {
    std::fclose(log);
  }
  return 0;
}
