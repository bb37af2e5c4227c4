#include "event/ipc_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "event/ipc_defs.h"
#include "event/ipc_log.h"
#include "event/ipc_memory.h"

namespace {

constexpr auto kLockWait = std::chrono::seconds(3);
constexpr useconds_t kLockRetryUs = 1000;

char g_directory[96] = "/tmp";

// The open flags of an fopen mode, without O_TRUNC: a "w" stream is emptied
// only once it is known to be our own plain file and locked.
int open_flags(const char* mode) {
  const bool update = std::strchr(mode, '+') != nullptr;
  int flags = update ? O_RDWR : O_WRONLY;
  switch (mode[0]) {
  case 'r':
    flags = update ? O_RDWR : O_RDONLY;
    break;
  case 'w':
    flags |= O_CREAT;
    break;
  case 'a':
    flags |= O_CREAT | O_APPEND;
    break;
  default:
    return -1;
  }
  if (std::strchr(mode, 'x') != nullptr) {
    flags |= O_EXCL;
  }
  return flags;
}

// The address file lives in a directory everyone may write to: a link put
// in its place is not followed, a FIFO neither blocks the open nor counts,
// and a file we write must have no other name. Only a file that is ours may
// be emptied ("w"); the event service may own the file others add to.
FILE* open_plain_file(const char* path, const char* mode) {
  const int flags = open_flags(mode);
  if (flags < 0) {
    errno = EINVAL;
    return nullptr;
  }
  constexpr int kSafe = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  // An existing file is opened without O_CREAT: in a sticky directory the
  // kernel may refuse O_CREAT on a file of another owner even to root.
  int fd = ::open(path, (flags & ~O_CREAT) | kSafe);
  if (fd < 0 && errno == ENOENT && (flags & O_CREAT) != 0) {
    fd = ::open(path, flags | kSafe, 0666);
  }
  if (fd < 0) {
    return nullptr;
  }
  struct stat st {};
  const bool writes = (flags & O_ACCMODE) != O_RDONLY;
  const bool empties = mode[0] == 'w';
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (writes && st.st_nlink != 1) ||
      (empties && st.st_uid != ::geteuid())) {
    ::close(fd);
    errno = EPERM;
    return nullptr;
  }
  FILE* stream = ::fdopen(fd, mode);
  if (stream == nullptr) {
    ::close(fd);
  }
  return stream;
}

} // namespace

void ipc_set_directory_for_tests(const char* dir) {
  std::snprintf(g_directory, sizeof g_directory, "%s", dir != nullptr ? dir : kIpcDefaultDir);
}

char* ipc_make_path(const char* name) {
  const size_t size = std::strlen(g_directory) + 1 + std::strlen(name) + 1;
  auto* path = static_cast<char*>(IPC_pMalloc(size));
  if (path != nullptr) {
    std::snprintf(path, size, "%s/%s", g_directory, name);
  }
  return path;
}

FILE* IPC_pfFlockOpen(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    IPC_LOG("\n");
    return nullptr;
  }
  FILE* stream = open_plain_file(path, mode);
  if (stream == nullptr) {
    ::syslog(LOG_DEBUG, "cannot open file [%s]", path);
    return nullptr;
  }
  const int fd = ::fileno(stream);
  if (fd < 0) {
    IPC_LOG("fileno failed [%d][%s]\n", errno, path);
    std::fclose(stream);
    return nullptr;
  }
  // A monotonic clock, so that a change of the wall clock neither cuts the
  // wait short nor stretches it.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      if (mode[0] == 'w' && ::ftruncate(fd, 0) != 0) {
        ::syslog(LOG_DEBUG, "cannot open file [%s]", path);
        std::fclose(stream);
        return nullptr;
      }
      return stream;
    }
    const int err = errno;
    if (std::chrono::steady_clock::now() - start > kLockWait) {
      IPC_LOG("lock failed [%d][%s]\n", err, path);
      std::fclose(stream);
      return nullptr;
    }
    ::usleep(kLockRetryUs);
  }
}

void IPC_vFlockClose(FILE* stream) {
  if (stream != nullptr) {
    std::fclose(stream);
  }
}

int IPC_iGetFileParam(const char* path, const char* key, size_t key_length, char* value,
                      size_t value_size) {
  if (path == nullptr || key == nullptr || value == nullptr || value_size == 0) {
    IPC_LOG("\n");
    return kIpcInvalid;
  }
  FILE* stream = IPC_pfFlockOpen(path, "rb");
  if (stream == nullptr) {
    ::syslog(LOG_DEBUG, "cannot open the file [ErrID=%d][path=%s]", kIpcErrIdArgument, path);
    return kIpcInvalid;
  }
  auto* line = static_cast<char*>(IPC_pMalloc(value_size + 1));
  if (line == nullptr) {
    IPC_LOG("\n");
    IPC_vFlockClose(stream);
    return kIpcInvalid;
  }
  const int chunk = value_size > INT_MAX ? INT_MAX : static_cast<int>(value_size);
  while (std::fgets(line, chunk, stream) != nullptr) {
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
      line[--length] = '\0';
    }
    // The character after the key is the separator and is skipped unread.
    if (length > key_length && std::strncmp(line, key, key_length) == 0) {
      const size_t n = length - key_length - 1; // < value_size by the fgets bound
      std::memcpy(value, line + key_length + 1, n);
      value[n] = '\0';
      break;
    }
    std::memset(line, 0, value_size + 1);
  }
  IPC_vFlockClose(stream);
  IPC_vFreeAs(&line);
  return 0;
}
