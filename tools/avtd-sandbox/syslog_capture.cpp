#include "avtd-sandbox/syslog_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace avtd_sandbox {
namespace {

constexpr size_t kMaxDatagram = 65536;
// Senders block once the socket's queue is full, so ask for room.
constexpr int kReceiveBuffer = 4 * 1024 * 1024;
// Starts a sync marker; no syslog datagram starts with a control character.
constexpr std::string_view kSyncMarker = "\x01sync ";

std::string_view skip_field(std::string_view text) {
  size_t blank = text.find(' ');
  return blank == std::string_view::npos ? std::string_view{} : text.substr(blank + 1);
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

} // namespace

std::string syslog_message(std::string_view raw) {
  std::string_view rest = raw;
  if (!rest.empty() && rest.front() == '<') {
    size_t close = rest.find('>');
    if (close != std::string_view::npos && close <= 4) {
      rest.remove_prefix(close + 1);
    }
  }
  // RFC 5424: "1 TIMESTAMP HOST APP PROCID MSGID SD MSG".
  if (rest.size() > 2 && rest[0] == '1' && rest[1] == ' ') {
    std::string_view fields = rest;
    for (int i = 0; i < 6 && !fields.empty(); ++i) {
      fields = skip_field(fields);
    }
    if (!fields.empty() && fields.front() == '-') {
      fields = skip_field(fields);
    } else {
      // Structured data: one or more "[...]" elements, then a blank.
      while (!fields.empty() && fields.front() == '[') {
        size_t close = fields.find(']');
        if (close == std::string_view::npos) {
          fields = {};
          break;
        }
        fields.remove_prefix(close + 1);
      }
      if (!fields.empty() && fields.front() == ' ') {
        fields.remove_prefix(1);
      }
    }
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (fields.substr(0, kBom.size()) == kBom) {
      fields.remove_prefix(kBom.size());
    }
    return std::string(fields);
  }
  // RFC 3164: "Mmm dd hh:mm:ss ident[pid]: MSG"; the time has no ": ".
  size_t colon = rest.find(": ");
  if (colon == std::string_view::npos) {
    return std::string(rest);
  }
  return std::string(rest.substr(colon + 2));
}

SyslogCapture::~SyslogCapture() {
  stop();
}

std::string SyslogCapture::start(const std::string& path) {
  if (sock_ >= 0) {
    return "already started";
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    return "socket path too long: " + path;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    return std::string("socket: ") + std::strerror(errno);
  }
  ::unlink(path.c_str());
  if (::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    std::string why = "bind " + path + ": " + std::strerror(errno);
    ::close(sock);
    return why;
  }
  ::chmod(path.c_str(), 0666);
  int size = kReceiveBuffer;
  // SO_RCVBUFFORCE passes the system limit as root; fall back to the plain one.
  if (::setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  int stop_fd = ::eventfd(0, EFD_CLOEXEC);
  if (stop_fd < 0) {
    std::string why = std::string("eventfd: ") + std::strerror(errno);
    ::close(sock);
    return why;
  }
  path_ = path;
  sock_ = sock;
  stop_fd_ = stop_fd;
  // The capture thread takes no signals: they belong to the main thread
  // (a wrapper forwarding them, a test waiting for them).
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  thread_ = std::thread([this] { run(); });
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return {};
}

void SyslogCapture::stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    (void)!::write(stop_fd_, &one, sizeof one);
    thread_.join();
  }
  if (sock_ >= 0) {
    ::close(sock_);
    sock_ = -1;
  }
  if (stop_fd_ >= 0) {
    ::close(stop_fd_);
    stop_fd_ = -1;
  }
  std::lock_guard lock(mutex_);
  if (owned_copy_fd_ >= 0) {
    ::close(owned_copy_fd_);
    owned_copy_fd_ = -1;
  }
  copy_fd_ = -1;
}

void SyslogCapture::run() {
  std::vector<char> buf(kMaxDatagram);
  // Bounded by the stop event: the loop ends as soon as stop() signals it.
  for (;;) {
    pollfd fds[2] = {{sock_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (fds[1].revents != 0) {
      // Take what is already queued before leaving, so nothing sent before
      // stop() is lost.
      fds[0].revents = POLLIN;
    }
    if (fds[0].revents != 0) {
      for (;;) {
        ssize_t n = ::recv(sock_, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0) {
          break;
        }
        const std::string_view got(buf.data(), static_cast<size_t>(n));
        if (got.substr(0, kSyncMarker.size()) == kSyncMarker) {
          std::lock_guard lock(mutex_);
          syncs_seen_ = std::max<uint64_t>(syncs_seen_, std::strtoull(std::string(got.substr(kSyncMarker.size())).c_str(), nullptr, 10));
          changed_.notify_all();
          continue;
        }
        SyslogLine line;
        line.at = std::chrono::steady_clock::now();
        line.raw.assign(buf.data(), static_cast<size_t>(n));
        while (!line.raw.empty() && (line.raw.back() == '\n' || line.raw.back() == '\0')) {
          line.raw.pop_back();
        }
        line.message = syslog_message(line.raw);
        std::lock_guard lock(mutex_);
        if (copy_fd_ >= 0) {
          write_all(copy_fd_, line.raw + "\n");
        }
        lines_.push_back(std::move(line));
        changed_.notify_all();
      }
    }
    if (fds[1].revents != 0) {
      return;
    }
  }
}

void SyslogCapture::copy_to_fd(int fd) {
  std::lock_guard lock(mutex_);
  if (owned_copy_fd_ >= 0) {
    ::close(owned_copy_fd_);
    owned_copy_fd_ = -1;
  }
  copy_fd_ = fd;
}

bool SyslogCapture::copy_to_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    return false;
  }
  std::lock_guard lock(mutex_);
  if (owned_copy_fd_ >= 0) {
    ::close(owned_copy_fd_);
  }
  owned_copy_fd_ = fd;
  copy_fd_ = fd;
  return true;
}

std::vector<SyslogLine> SyslogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

size_t SyslogCapture::size() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

void SyslogCapture::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

bool SyslogCapture::sync(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path_.c_str(), std::min(path_.size() + 1, sizeof addr.sun_path - 1));
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sock < 0) {
    return false;
  }
  uint64_t number = 0;
  {
    std::lock_guard lock(mutex_);
    number = ++syncs_sent_;
  }
  const std::string marker = std::string(kSyncMarker) + std::to_string(number);
  bool sent = false;
  // A full queue refuses the marker for now: try again until the deadline.
  while (!sent && std::chrono::steady_clock::now() < deadline) {
    sent = ::sendto(sock, marker.data(), marker.size(), 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) >= 0;
    if (!sent) {
      ::poll(nullptr, 0, 5);
    }
  }
  ::close(sock);
  std::unique_lock lock(mutex_);
  return sent && changed_.wait_until(lock, deadline, [&] { return syncs_seen_ >= number; });
}

std::optional<SyslogLine> SyslogCapture::wait_for(const std::function<bool(const SyslogLine&)>& match,
                                                  std::chrono::milliseconds timeout, size_t from) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  size_t next = from;
  for (;;) {
    for (; next < lines_.size(); ++next) {
      if (match(lines_[next])) {
        return lines_[next];
      }
    }
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; next < lines_.size(); ++next) {
        if (match(lines_[next])) {
          return lines_[next];
        }
      }
      return std::nullopt;
    }
    if (next > lines_.size()) {
      next = 0; // cleared meanwhile
    }
  }
}

size_t SyslogCapture::wait_count(const std::function<bool(const SyslogLine&)>& match, size_t count,
                                 std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    size_t seen = 0;
    for (const auto& line : lines_) {
      seen += match(line) ? 1 : 0;
    }
    if (seen >= count || changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      if (seen >= count) {
        return seen;
      }
      seen = 0;
      for (const auto& line : lines_) {
        seen += match(line) ? 1 : 0;
      }
      return seen;
    }
  }
}

} // namespace avtd_sandbox
