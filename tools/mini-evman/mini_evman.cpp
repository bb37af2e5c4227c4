// mini-evman: a stand-in event manager for development and tests. It listens
// on "/tmp/localrec", writes one JSON line per notice it receives and answers
// each notice unless told not to.
//
//   mini-evman [--log FILE] [--no-reply | --silent]
//
// --no-reply closes each connection without an answer; --silent keeps it
// open unanswered until the sender gives up, as a hung event manager would.
//
// A network-state notice (words 7 and 15) gives {"op":"netstate","state":N};
// anything else is logged as {"op":"unknown",...} or {"op":"short","bytes":N}.
// Runs until SIGTERM or SIGINT, then removes its socket.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/session.h"
#include "stream/evman_notice.h"
#include "support/command_line.h"
#include "toolkit/stop_signals.h"

namespace {

std::atomic<int> g_stop{0};

void on_signal(int) { g_stop.store(1); }

constexpr int kPollMs = 200;
constexpr int kReadWaitMs = 2000;

constexpr char kUsage[] =
    "usage: mini-evman [--log FILE] [--no-reply | --silent]\n"
    "A stand-in event manager on /tmp/localrec: one JSON line per notice it receives.\n"
    "  --log FILE   append the notice lines to FILE (default standard output)\n"
    "  --no-reply   close each connection without an answer\n"
    "  --silent     hold each connection open unanswered until the sender gives up\n"
    "  --help       this text\n"
    "Runs until SIGTERM or SIGINT, then removes its socket.\n";

enum class answer { reply, close, silent };

class fd_owner {
 public:
  explicit fd_owner(int fd) : fd_(fd) {}
  ~fd_owner() {
    if (fd_ >= 0) close(fd_);
  }
  fd_owner(const fd_owner&) = delete;
  fd_owner& operator=(const fd_owner&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads up to one notice; bounded by kReadWaitMs per wait.
size_t read_notice(int fd, evman_msg& msg) {
  auto* p = reinterpret_cast<unsigned char*>(&msg);
  size_t got = 0;
  while (got < sizeof msg && g_stop.load() == 0) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, kReadWaitMs) <= 0) break;
    const ssize_t n = read(fd, p + got, sizeof msg - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

void log_notice(FILE* out, const evman_msg& msg, size_t got) {
  if (got < sizeof msg) {
    std::fprintf(out, "{\"op\":\"short\",\"bytes\":%zu}\n", got);
  } else if (msg.word0 == kEvmanWord0 && msg.word1 == kEvmanWord1) {
    std::fprintf(out, "{\"op\":\"netstate\",\"state\":%d}\n", msg.state);
  } else {
    std::fprintf(out, "{\"op\":\"unknown\",\"word0\":%d,\"word1\":%d,\"state\":%d}\n", msg.word0, msg.word1,
                 msg.state);
  }
  std::fflush(out);
}

// Holds a connection unanswered until the sender closes it (or we stop).
void hold_until_closed(int fd) {
  unsigned char sink[256];
  while (g_stop.load() == 0) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, kPollMs) <= 0) continue;
    const ssize_t n = read(fd, sink, sizeof sink);
    if (n == 0 || (n < 0 && errno != EINTR)) return;
  }
}

int serve(int listener, FILE* out, answer mode) {
  while (g_stop.load() == 0) {
    pollfd pfd{listener, POLLIN, 0};
    const int ready = poll(&pfd, 1, kPollMs);
    if (ready <= 0) continue;
    fd_owner conn(accept(listener, nullptr, nullptr));
    if (conn.get() < 0) continue;
    evman_msg msg{};
    const size_t got = read_notice(conn.get(), msg);
    log_notice(out, msg, got);
    if (mode == answer::reply && got == sizeof msg) {
      (void)!send(conn.get(), &msg, sizeof msg, MSG_NOSIGNAL);
    } else if (mode == answer::silent) {
      hold_until_closed(conn.get());
    }
  }
  return 0;
}

} // namespace

int main(int argc, char* argv[]) {
  const char* log_path = nullptr;
  answer mode = answer::reply;
  static const option kOptions[] = {{"log", required_argument, nullptr, 'l'},
                                    {"no-reply", no_argument, nullptr, 'n'},
                                    {"silent", no_argument, nullptr, 's'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'l': log_path = optarg; break;
      case 'n': mode = answer::close; break;
      case 's': mode = answer::silent; break;
      case 'h': return show_help(kUsage);
      default: return refuse_command_line("mini-evman", unparsed_option(argv, kOptions), kUsage);
    }
  }
  if (optind != argc) {
    return refuse_command_line("mini-evman", std::string("unexpected argument ") + argv[optind], kUsage);
  }

  FILE* out = stdout;
  if (log_path != nullptr) {
    out = std::fopen(log_path, "a");
    if (out == nullptr) {
      std::fprintf(stderr, "mini-evman: cannot open %s: %s\n", log_path, std::strerror(errno));
      return 1;
    }
  }

  toolkit::on_stop_signals(on_signal);

  fd_owner listener(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kEvmanPath);
  unlink(kEvmanPath);
  if (listener.get() < 0 || bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
      listen(listener.get(), 8) < 0) {
    std::fprintf(stderr, "mini-evman: cannot listen on %s: %s\n", kEvmanPath, std::strerror(errno));
    return 1;
  }
  const int status = serve(listener.get(), out, mode);
  unlink(kEvmanPath);
  if (out != stdout) std::fclose(out);
  return status;
}
