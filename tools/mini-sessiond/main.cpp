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
#include <cstring>
#include <vector>

#include "platform/session_wire.h"
#include "requests.h"

namespace {

constexpr int kMaxClients = 64;
constexpr int kListenBacklog = 16;

struct client {
  int fd = -1;
  std::vector<unsigned char> in;
};

void usage() { std::fprintf(stderr, "usage: mini-sessiond [--framerate N] [--refuse] [--log FILE]\n"); }

bool parse_args(int argc, char* argv[], sessiond_config* config, const char** log_path) {
  static const option kOptions[] = {{"framerate", required_argument, nullptr, 'f'},
                                    {"refuse", no_argument, nullptr, 'r'},
                                    {"log", required_argument, nullptr, 'l'},
                                    {nullptr, 0, nullptr, 0}};
  for (;;) {
    const int c = getopt_long(argc, argv, "", kOptions, nullptr);
    if (c == -1) {
      return optind == argc;
    }
    switch (c) {
    case 'f': {
      char* end = nullptr;
      std::strtod(optarg, &end);
      if (*optarg == '\0' || *end != '\0') {
        return false;
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
    default:
      return false;
    }
  }
}

int listen_on(const char* path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
  unlink(path);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, kListenBacklog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Answers every whole request in the client's buffer; false when the
// client sent something that is not a request or the reply failed.
bool serve(client& c, session_registry& registry) {
  for (;;) {
    if (c.in.size() < 4) {
      return true;
    }
    uint32_t len = 0;
    std::memcpy(&len, c.in.data(), sizeof len);
    if (len < 4 || len > kSessionMaxRequestLength) {
      return false;
    }
    if (c.in.size() < 4 + len) {
      return true;
    }
    uint32_t code = 0;
    std::memcpy(&code, c.in.data() + 4, sizeof code);
    std::vector<unsigned char> reply;
    registry.handle(code, std::span<const unsigned char>(c.in.data() + 8, len - 4), reply);
    c.in.erase(c.in.begin(), c.in.begin() + 4 + len);
    size_t sent = 0;
    while (sent < reply.size()) {
      const ssize_t n = send(c.fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        return false;
      }
      sent += static_cast<size_t>(n);
    }
  }
}

} // namespace

int main(int argc, char* argv[]) {
  sessiond_config config;
  const char* log_path = nullptr;
  if (!parse_args(argc, argv, &config, &log_path)) {
    usage();
    return 2;
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
  const int listen_fd = listen_on(kSessionServicePath);
  if (sig_fd < 0 || listen_fd < 0) {
    std::fprintf(stderr, "mini-sessiond: cannot listen on %s: %s\n", kSessionServicePath, std::strerror(errno));
    return 1;
  }

  session_registry registry(config, log);
  std::vector<client> clients;
  bool running = true;
  while (running) {
    std::vector<pollfd> fds{{sig_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}};
    for (const client& c : clients) {
      fds.push_back({c.fd, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (fds[0].revents != 0) {
      running = false;
    }
    // Clients first: their indices in fds match the vector as it was.
    for (size_t i = clients.size(); i-- > 0;) {
      if (fds[i + 2].revents == 0) {
        continue;
      }
      unsigned char buf[512];
      const ssize_t n = recv(clients[i].fd, buf, sizeof buf, 0);
      bool keep = n > 0;
      if (keep) {
        clients[i].in.insert(clients[i].in.end(), buf, buf + n);
        keep = serve(clients[i], registry);
      } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        keep = true;
      }
      if (!keep) {
        close(clients[i].fd);
        clients.erase(clients.begin() + static_cast<long>(i));
      }
    }
    if ((fds[1].revents & POLLIN) != 0) {
      const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0 && clients.size() < kMaxClients) {
        clients.push_back({fd, {}});
      } else if (fd >= 0) {
        close(fd);
      }
    }
  }

  for (const client& c : clients) {
    close(c.fd);
  }
  close(listen_fd);
  unlink(kSessionServicePath);
  if (log != stdout) {
    std::fclose(log);
  }
  return 0;
}
