#include "net/route_users.h"

#include "net/network.h"
#include "support/log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

static constexpr char kLogUnit[] = "network";

const char* g_route_lock_dir = "/var/run";

namespace {

constexpr int kJoinAttempts = 500;
constexpr long kJoinStepNs = 10'000'000; // 10 ms: 5 s in all

void pause_step() {
  timespec step{0, kJoinStepNs};
  while (nanosleep(&step, &step) != 0 && errno == EINTR) {
  }
}

// Whether the path still names the file behind fd: the last user of a group
// unlinks it, and a lock on the unlinked file would count for nobody.
bool still_named(int fd, const char* path) {
  struct stat held {};
  struct stat named {};
  return fstat(fd, &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

} // namespace

void RouteUsers::join(uint32_t address, const char* device) {
  release();
  if (!is_ipv4_multicast_addr(address)) return;
  char group[INET_ADDRSTRLEN] = {};
  in_addr in{};
  in.s_addr = address;
  if (inet_ntop(AF_INET, &in, group, sizeof group) == nullptr) return;
  const int n = std::snprintf(path_, sizeof path_, "%s/avtd_route_%s_%s.lock", g_route_lock_dir, group, device);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path_) return;

  for (int attempt = 0; attempt < kJoinAttempts; ++attempt) {
    const int fd = open(path_, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      LOG_FUNC(LOG_ERR, "join_route_users", " : open(%s) error(%m)", path_);
      return;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return;
    }
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
      if (still_named(fd, path_)) {
        fd_ = fd;
        return;
      }
    } else if (errno != EWOULDBLOCK) {
      close(fd);
      return;
    }
    // Held exclusively by a last user removing the route, or already unlinked.
    close(fd);
    pause_step();
  }
  LOG_FUNC(LOG_ERR, "join_route_users", " : %s stays locked", path_);
}

bool RouteUsers::last_user() {
  if (fd_ < 0) return true;
  // A failed conversion leaves no lock at all: another user remains and
  // takes the route over, so this stream lets go of it.
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    exclusive_ = true;
    return true;
  }
  if (errno != EWOULDBLOCK) return true; // no lock to go by: as if alone
  close(fd_);
  fd_ = -1;
  return false;
}

void RouteUsers::release() {
  if (fd_ < 0) return;
  if (exclusive_) unlink(path_);
  close(fd_);
  fd_ = -1;
  exclusive_ = false;
}
