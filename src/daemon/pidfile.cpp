// Claiming, writing and removing the pid file.
#include "daemon/pidfile.h"
#include "daemon/signals.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/network.h"
#include "stream/rtp_thread.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "main";

namespace {

constexpr int kPidTextSize = 16;

char g_pidfile_path[kPidfilePathSize] = {};
// Set once the path names a file this process wrote.
std::atomic<bool> g_pidfile_written{false};

bool is_multicast_destination(const char* host) {
  if (std::strchr(host, ':') != nullptr) {
    return is_ipv6_multicast(host) != 0;
  }
  const uint32_t first_octet = ntohl(inet_addr(host)) >> 24;
  return first_octet >= 224 && first_octet <= 239;
}

// Reads the pid file at path: 0 when it did not open (nothing to claim),
// 1 when it holds a process id (stored in pid), or an error code.
// A link planted at the path is not followed, and a FIFO there neither
// blocks the open nor counts as a pid file.
int read_existing(const char* path, pid_t* pid) {
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  char text[kPidTextSize + 1] = {};
  struct stat st {};
  ssize_t n = 0;
  if (fstat(fd, &st) != 0) {
    n = -1;
  } else if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    n = -1;
  } else {
    do {
      n = read(fd, text, kPidTextSize);
    } while (n < 0 && errno == EINTR);
  }
  const int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  if (n <= 0) {
    LOG_FUNC(LOG_ERR, "create_pidfile", ": fread error(%m)");
    return -1;
  }
  const unsigned long value = std::strtoul(text, nullptr, 10);
  // 0 would probe our own process group and a value beyond the pid range
  // a negative group: neither names a process.
  if (value == 0 || value > static_cast<unsigned long>(INT32_MAX)) {
    return -2;
  }
  *pid = static_cast<pid_t>(value);
  return 1;
}

// Opens the path for writing without following a link and without
// truncating through one: only a plain file of ours with no other name is
// emptied and reused. The descriptor, or -1 with errno set.
int open_for_writing(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  if (ftruncate(fd, 0) != 0) {
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    return -1;
  }
  return fd;
}

} // namespace

void pidfile_path_for(const rtp_thread* thread, char* path, size_t size) {
  const bool metadata = thread->payload == kPayloadMetadata;
  if (is_multicast_destination(thread->ns.host)) {
    if (thread->payload == kPayloadUlaw) {
      std::snprintf(path, size, "/var/run/avtd_channel3.pid");
    } else if (metadata) {
      std::snprintf(path, size, "/var/run/avtd_channel4.pid");
    } else {
      std::snprintf(path, size, "/var/run/avtd_channel%d.pid", thread->channel);
    }
  } else if (metadata) {
    std::snprintf(path, size, "/var/run/avtd_metadata_%d.pid", thread->session_id);
  } else {
    std::snprintf(path, size, "/var/run/avtd_%d.pid", thread->session_id);
  }
}

const char* pidfile_path() { return g_pidfile_path; }

int create_pidfile(const rtp_thread* thread) {
  pidfile_path_for(thread, g_pidfile_path, sizeof g_pidfile_path);

  pid_t existing = 0;
  const int found = read_existing(g_pidfile_path, &existing);
  if (found < 0) {
    return found;
  }
  if (found == 1) {
    if (kill(existing, 0) == 0) {
      LOG_UNIT(LOG_INFO, "process is existed");
      return kPidfileOwnedByOther;
    }
    if (errno != ESRCH) {
      LOG_FUNC(LOG_ERR, "create_pidfile", ": kill error(%m)");
      return -3;
    }
    if (unlink(g_pidfile_path) != 0) {
      LOG_FUNC(LOG_ERR, "create_pidfile", ": unlink error(%m)");
      return -5;
    }
  }

  const termination_signals_held held;
  const int fd = open_for_writing(g_pidfile_path);
  if (fd < 0) {
    LOG_FUNC(LOG_ERR, "create_pidfile", ": fopen error(%m)");
    return -6;
  }
  // getpid cannot fail on Linux, so its error message never appears.
  char text[kPidTextSize + 1];
  const int length = std::snprintf(text, sizeof text, "%u\n", static_cast<unsigned>(getpid()));
  // As with the stream write before, a failing write is not reported: the
  // next start then finds the file empty and says so.
  [[maybe_unused]] const ssize_t written = write(fd, text, static_cast<size_t>(length));
  close(fd);
  g_pidfile_written.store(true);
  return 0;
}

void delete_pidfile() {
  // Withdrawn from the handler first, so that a late signal cannot remove
  // a file that a successor has claimed meanwhile.
  g_pidfile_written.store(false);
  if (unlink(g_pidfile_path) != 0) {
    LOG_FUNC(LOG_ERR, "delete_pidfile", ": unlink error(%m)");
  }
}

void delete_pidfile_from_signal() {
  if (g_pidfile_written.exchange(false)) {
    const int saved_errno = errno;
    unlink(g_pidfile_path);
    errno = saved_errno;
  }
}
