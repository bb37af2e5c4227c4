// rtp-probe: receives one RTP stream (UDP port pair, '$'-interleaved TCP or
// a file of '$' frames), checks it, prints a live summary and a report.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "interleave.h"
#include "options.h"
#include "report.h"
#include "sockets.h"
#include "stream_checker.h"
#include "support/command_line.h"
#include "toolkit/net.h"
#include "toolkit/stop_signals.h"

using namespace probe;

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop.store(true); }

double clock_seconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

constexpr int kPollMs = 100;
constexpr int kConnectTimeoutMs = 5000;
constexpr size_t kMaxDatagram = 65536;
constexpr int kDrainLimit = 100000;
constexpr uint32_t kProbeSsrc = 0x50524f42;

class Run {
 public:
  explicit Run(const ProbeOptions& options, bool live_clock)
      : options_(options),
        checker_(CheckOptions{options.payload, !options.generic, live_clock}),
        start_(clock_seconds(CLOCK_MONOTONIC)),
        next_live_(start_ + 1.0) {}

  StreamChecker& checker() { return checker_; }
  RunInfo& info() { return info_; }
  double now() const { return clock_seconds(CLOCK_MONOTONIC); }

  void rtp(Bytes bytes, size_t framing) {
    last_packet_ = now();
    checker_.on_rtp(bytes, framing, last_packet_);
  }
  void rtcp(Bytes bytes) {
    last_packet_ = now();
    checker_.on_rtcp(bytes, clock_seconds(CLOCK_REALTIME));
  }

  // Prints the live line when due; true when the run should end.
  bool tick() {
    const double t = now();
    if (!options_.quiet && t >= next_live_) {
      std::fprintf(stderr, "%s\n", live_line(checker_, t - start_).c_str());
      next_live_ = t + 1.0;
    }
    if (g_stop.load()) {
      return true;
    }
    if (options_.duration > 0 && t - start_ >= options_.duration) {
      return true;
    }
    return options_.idle > 0 && last_packet_ >= 0 && t - last_packet_ >= options_.idle;
  }

  int finish() {
    checker_.finish();
    info_.seconds = now() - start_;
    std::printf("%s\n%s", json_report(checker_, info_).c_str(), text_report(checker_, info_).c_str());
    std::fflush(stdout);
    return exit_status(checker_);
  }

 private:
  ProbeOptions options_;
  StreamChecker checker_;
  RunInfo info_;
  double start_;
  double next_live_;
  double last_packet_ = -1;
};

void send_keepalive(int rtcp_fd, sockaddr_storage to) {
  uint8_t rr[8] = {0x80, 201, 0x00, 0x01, kProbeSsrc >> 24, (kProbeSsrc >> 16) & 0xFF, (kProbeSsrc >> 8) & 0xFF,
                   kProbeSsrc & 0xFF};
  socklen_t length = sizeof(sockaddr_in);
  if (to.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&to);
    a->sin6_port = htons(static_cast<uint16_t>(ntohs(a->sin6_port) + 1));
    length = sizeof(sockaddr_in6);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&to);
    a->sin_port = htons(static_cast<uint16_t>(ntohs(a->sin_port) + 1));
  }
  sendto(rtcp_fd, rr, sizeof rr, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), length);
}

int run_udp(const ProbeOptions& options) {
  std::string error;
  Fd rtp_fd = open_udp(options, options.port, error);
  Fd rtcp_fd = rtp_fd ? open_udp(options, options.port + 1, error) : Fd();
  if (!rtp_fd || !rtcp_fd) {
    std::fprintf(stderr, "rtp-probe: %s\n", error.c_str());
    return kExitUsage;
  }
  // Tests and scripts wait for this line before they start the sender.
  std::fprintf(stderr, "rtp-probe: listening on UDP ports %d and %d\n", options.port, options.port + 1);
  Run run(options, true);
  run.info().transport = "udp";
  static uint8_t buffer[kMaxDatagram];
  sockaddr_storage rtp_from{};
  bool have_source = false;
  double next_keepalive = 0;

  // Reads whatever is queued on one socket; false when it was empty.
  auto read_one = [&](int fd, bool is_rtp) {
    sockaddr_storage from{};
    const ssize_t n = toolkit::receive_datagram(fd, buffer, from, is_rtp ? &run.info().ttl : nullptr,
                                                is_rtp ? &run.info().tos : nullptr);
    if (n < 0) {
      return false;
    }
    const Bytes bytes(buffer, static_cast<size_t>(n));
    if (is_rtp) {
      if (!have_source) {
        rtp_from = from;
        have_source = true;
        run.info().rtp_source = endpoint_text(from);
      }
      run.rtp(bytes, 0);
    } else {
      if (run.info().rtcp_source.empty()) {
        run.info().rtcp_source = endpoint_text(from);
      }
      run.rtcp(bytes);
    }
    return true;
  };

  while (!run.tick()) {
    pollfd fds[2] = {{rtp_fd.get(), POLLIN, 0}, {rtcp_fd.get(), POLLIN, 0}};
    const int ready = poll(fds, 2, kPollMs);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "rtp-probe: poll: %s\n", std::strerror(errno));
      break;
    }
    // A burst is read a bounded number of datagrams at a time so the live
    // line and the stop conditions stay responsive.
    for (int i = 0; i < 256 && (fds[0].revents & POLLIN) && read_one(rtp_fd.get(), true); ++i) {
    }
    for (int i = 0; i < 16 && (fds[1].revents & POLLIN) && read_one(rtcp_fd.get(), false); ++i) {
    }
    if (options.keepalive && have_source && run.now() >= next_keepalive) {
      send_keepalive(rtcp_fd.get(), rtp_from);
      next_keepalive = run.now() + 1.0;
    }
  }
  // What was already queued when we stopped still counts.
  for (int i = 0; i < kDrainLimit && (read_one(rtp_fd.get(), true) | read_one(rtcp_fd.get(), false)); ++i) {
  }
  return run.finish();
}

int run_byte_stream(const ProbeOptions& options, int fd, Run& run) {
  StreamChecker& checker = run.checker();
  ChannelCheck channels(checker.findings());
  InterleaveParser parser(checker.findings(), [&](uint8_t channel, Bytes frame) {
    const bool rtcp = looks_like_rtcp(frame);
    channels.on_frame(channel, rtcp);
    if (rtcp) {
      run.rtcp(frame);
    } else {
      run.rtp(frame, 4);
    }
  });
  static uint8_t buffer[kMaxDatagram];
  const bool is_file = !options.file.empty();
  while (!run.tick()) {
    if (!is_file) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, kPollMs) <= 0) {
        continue;
      }
    }
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    parser.feed(Bytes(buffer, static_cast<size_t>(n)));
  }
  parser.finish();
  run.info().rtp_channel = channels.rtp_channel();
  run.info().rtcp_channel = channels.rtcp_channel();
  return run.finish();
}

int run_tcp(const ProbeOptions& options) {
  std::string error;
  Run run(options, true);
  run.info().transport = "tcp";
  Fd conn;
  if (!options.tcp.empty()) {
    // The sender may not listen yet: try again for a while.
    const double give_up = run.now() + kConnectTimeoutMs / 1000.0;
    while (!(conn = connect_tcp(options.tcp, kConnectTimeoutMs, error)) && run.now() < give_up && !run.tick()) {
      poll(nullptr, 0, kPollMs);
    }
    run.info().rtp_source = options.tcp;
  } else {
    Fd listener = listen_tcp(options.tcp_listen, options.ipv6, error);
    if (listener) {
      std::fprintf(stderr, "rtp-probe: listening on TCP port %d\n", options.tcp_listen);
    }
    while (listener && !run.tick()) {
      pollfd p{listener.get(), POLLIN, 0};
      if (poll(&p, 1, kPollMs) == 1) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        conn = Fd(accept4(listener.get(), reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC));
        if (conn) {
          run.info().rtp_source = endpoint_text(from);
          break;
        }
      }
    }
    if (!listener) {
      std::fprintf(stderr, "rtp-probe: %s\n", error.c_str());
      return kExitUsage;
    }
    if (!conn) {
      return run.finish();
    }
  }
  if (!conn) {
    std::fprintf(stderr, "rtp-probe: %s\n", error.c_str());
    return run.finish();
  }
  return run_byte_stream(options, conn.get(), run);
}

int run_file(const ProbeOptions& options) {
  Fd owned;
  int fd = STDIN_FILENO;
  if (options.file != "-") {
    owned = Fd(open(options.file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!owned) {
      std::fprintf(stderr, "rtp-probe: %s: %s\n", options.file.c_str(), std::strerror(errno));
      return kExitUsage;
    }
    fd = owned.get();
  }
  Run run(options, false);
  run.info().transport = "file";
  run.info().rtp_source = options.file;
  return run_byte_stream(options, fd, run);
}

} // namespace

int main(int argc, char** argv) {
  ProbeOptions options;
  std::string error;
  const int parsed = parse_options(argc, argv, options, error);
  if (parsed == 1) {
    return show_help(kUsage);
  }
  if (parsed < 0) {
    return refuse_command_line("rtp-probe", error, kUsage);
  }
  toolkit::on_stop_signals(on_signal);

  if (!options.file.empty()) {
    return run_file(options);
  }
  if (!options.tcp.empty() || options.tcp_listen > 0) {
    return run_tcp(options);
  }
  return run_udp(options);
}
