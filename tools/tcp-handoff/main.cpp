// tcp-handoff --session N --connect HOST:PORT [--timeout S]
// Connects to a TCP receiver, then offers that connection on
// "/tmp/rtp_over_http_sock_N" and passes it (SCM_RIGHTS) to the stream
// daemon that connects there. Exits 0 after one hand-over, 1 when none
// happened within S seconds (default 30), 2 on a bad command line. The
// socket path is removed on every way out.
#include <getopt.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "handoff.h"
#include "support/command_line.h"
#include "toolkit/number.h"
#include "toolkit/stop_signals.h"

namespace {

constexpr int kDefaultTimeoutSeconds = 30;

std::atomic<int> g_stop{0};

void on_stop(int) { g_stop.store(1); }

constexpr char kUsage[] =
    "usage: tcp-handoff --session N --connect HOST:PORT [--timeout S]\n"
    "Connects to a TCP receiver and hands the connection to the stream daemon of session N\n"
    "through /tmp/rtp_over_http_sock_N.\n"
    "  --session N         the session whose daemon takes the connection\n"
    "  --connect HOST:PORT the receiver: 198.51.100.2:5000 or [2001:db8::2]:5000\n"
    "  --timeout S         give up after S seconds without a hand-over (default 30)\n"
    "  --help              this text\n"
    "Exit status: 0 after one hand-over, 1 none within the time-out, 2 a bad command line.\n";

} // namespace

int main(int argc, char* argv[]) {
  static const option kOptions[] = {{"session", required_argument, nullptr, 's'},
                                    {"connect", required_argument, nullptr, 'c'},
                                    {"timeout", required_argument, nullptr, 't'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;
  long session = 0;
  bool session_given = false;
  long timeout = kDefaultTimeoutSeconds;
  const char* target = nullptr;
  for (int c; (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    bool ok = true;
    switch (c) {
    case 's':
      ok = toolkit::parse_whole(optarg, INT32_MIN, INT32_MAX, session);
      session_given = ok;
      break;
    case 'c':
      target = optarg;
      break;
    case 't':
      ok = toolkit::parse_whole(optarg, 1, 24 * 3600, timeout);
      break;
    case 'h':
      return show_help(kUsage);
    default:
      return refuse_command_line("tcp-handoff", unparsed_option(argv, kOptions), kUsage);
    }
    if (!ok) {
      return refuse_command_line("tcp-handoff", std::string("invalid value ") + optarg, kUsage);
    }
  }
  endpoint peer;
  if (optind != argc) {
    return refuse_command_line("tcp-handoff", std::string("unexpected argument ") + argv[optind], kUsage);
  }
  if (target == nullptr || !session_given) {
    return refuse_command_line("tcp-handoff", "--session and --connect are needed", kUsage);
  }
  if (!parse_endpoint(target, &peer)) {
    return refuse_command_line("tcp-handoff", std::string("invalid receiver ") + target + " (HOST:PORT)", kUsage);
  }

  toolkit::on_stop_signals(on_stop);

  const int64_t deadline = now_ms() + timeout * 1000;
  const int tcp = connect_tcp(peer, deadline);
  if (tcp < 0) {
    std::fprintf(stderr, "tcp-handoff: cannot connect to %s: %s\n", target, std::strerror(errno));
    return 1;
  }
  const std::string path = "/tmp/rtp_over_http_sock_" + std::to_string(session);
  const int result = offer_connection(path.c_str(), tcp, deadline, g_stop);
  close(tcp);
  if (result != 0) {
    std::fprintf(stderr, "tcp-handoff: no hand-over on %s\n", path.c_str());
    return 1;
  }
  return 0;
}
