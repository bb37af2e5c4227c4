#include "service.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/session_wire.h"

namespace {

// Every daemon of the device asks at most every few seconds; more clients
// at once than this are refused rather than letting one process use up
// the descriptors.
constexpr size_t kMaxClients = 64;
constexpr int kListenBacklog = 16;

} // namespace

session_service::~session_service() { close_all(); }

bool session_service::listen_on(const char* path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    return false;
  }
  // Bound under another name and renamed once it listens: a client that
  // finds the socket can connect at once.
  const std::string building = std::string(path) + ".new";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", building.c_str());
  unlink(building.c_str());
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, kListenBacklog) != 0 ||
      rename(building.c_str(), path) != 0) {
    unlink(building.c_str());
    close(fd);
    return false;
  }
  listen_fd_ = fd;
  path_ = path;
  return true;
}

size_t session_service::add_poll_fds(std::vector<pollfd>& fds) const {
  fds.push_back({listen_fd_, POLLIN, 0});
  for (const client& c : clients_) {
    fds.push_back({c.fd, POLLIN, 0});
  }
  return 1 + clients_.size();
}

// Answers every whole request in the client's buffer; false when the
// client sent something that is not a request or the reply failed.
bool session_service::answer(client& c) {
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
    registry_.handle(code, std::span<const unsigned char>(c.in.data() + 8, len - 4), c.pid, reply);
    c.in.erase(c.in.begin(), c.in.begin() + 4 + len);
    // Replies are a few bytes: they fit an idle socket's buffer, and a
    // client that does not read them is dropped instead of waited for.
    const ssize_t n = send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n != static_cast<ssize_t>(reply.size())) {
      return false;
    }
  }
}

void session_service::serve(const std::vector<pollfd>& fds, size_t first) {
  // Clients first: their indices in fds match the vector as it was.
  for (size_t i = clients_.size(); i-- > 0;) {
    if (fds[first + 1 + i].revents == 0) {
      continue;
    }
    unsigned char buf[512];
    const ssize_t n = recv(clients_[i].fd, buf, sizeof buf, MSG_DONTWAIT);
    bool keep = n > 0;
    if (keep) {
      clients_[i].in.insert(clients_[i].in.end(), buf, buf + n);
      keep = answer(clients_[i]);
    } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      keep = true;
    }
    if (!keep) {
      close(clients_[i].fd);
      clients_.erase(clients_.begin() + static_cast<long>(i));
    }
  }
  if ((fds[first].revents & POLLIN) != 0) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0 && clients_.size() < kMaxClients) {
      ucred cred{};
      socklen_t len = sizeof cred;
      getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len);
      clients_.push_back({fd, cred.pid, {}});
    } else if (fd >= 0) {
      close(fd);
    }
  }
}

void session_service::close_all() {
  for (const client& c : clients_) {
    close(c.fd);
  }
  clients_.clear();
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(path_);
    listen_fd_ = -1;
  }
}
