#include "event/ipc_addrfile.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "event/ipc_file.h"
#include "event/ipc_log.h"
#include "event/ipc_memory.h"

namespace {

constexpr size_t kFamilyValueSize = 256;
constexpr size_t kLookupLineSize = 256;
constexpr size_t kIdDigits = 8;

// An endpoint line: exactly eight hexadecimal digits, '=', a decimal port.
// Anything else (the family line among them) is no endpoint line at all.
bool parse_endpoint_line(const char* line, uint32_t* id, int* port) {
  for (size_t i = 0; i < kIdDigits; ++i) {
    const char c = line[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) {
      return false;
    }
  }
  if (line[kIdDigits] != '=') {
    return false;
  }
  char digits[kIdDigits + 1];
  std::memcpy(digits, line, kIdDigits);
  digits[kIdDigits] = '\0';
  *id = static_cast<uint32_t>(std::strtoul(digits, nullptr, 16));
  char* end = nullptr;
  const long value = std::strtol(line + kIdDigits + 1, &end, 10);
  // A port that cannot be one stays 0, so that the connect is refused
  // instead of reaching a port that was never registered.
  *port = (end != line + kIdDigits + 1 && value > 0 && value <= 65535) ? static_cast<int>(value) : 0;
  return true;
}

} // namespace

int IPC_iStartSock(ipc_service_sockets* record, int family) {
  if (record == nullptr) {
    IPC_LOG("Arguments are invalid [ErrID=%d]\n", kIpcErrIdArgument);
    return kIpcBadArgument;
  }
  if (family != AF_INET && family != AF_INET6) {
    IPC_LOG("Invalid Address Family [%d]\n", family);
    return kIpcBadArgument;
  }
  char* path = ipc_make_path(kIpcAddressFileName);
  if (path == nullptr) {
    IPC_LOG("Memory Empty [ErrID=%d]\n", kIpcErrIdMemory);
    return kIpcBadArgument;
  }
  FILE* stream = IPC_pfFlockOpen(path, "wb");
  if (stream == nullptr) {
    IPC_LOG("cannot open the file [ErrID=%d][path=%s]\n", kIpcErrIdArgument, path);
    IPC_vFreeAs(&path);
    return kIpcBadArgument;
  }
  std::fprintf(stream, "ADDR_FAMILY=%d\n", family);
  IPC_vFlockClose(stream);
  IPC_vFreeAs(&path);
  return 0;
}

int IPC_iEnd(ipc_service_sockets* record) {
  if (record == nullptr) {
    IPC_LOG("Arguments are invalid [ErrID=%d]\n", kIpcErrIdArgument);
    return kIpcBadArgument;
  }
  char* path = ipc_make_path(kIpcAddressFileName);
  if (path == nullptr) {
    IPC_LOG("Memory Empty [ErrID=%d]\n", kIpcErrIdMemory);
    return kIpcBadArgument;
  }
  for (ipc_handle& handle : record->handle) {
    if (handle != 0) {
      ::close(handle);
      handle = 0;
    }
  }
  std::remove(path);
  IPC_vFreeAs(&path);
  return 0;
}

int ipc_read_family(const char* path) {
  char value[kFamilyValueSize] = {};
  if (IPC_iGetFileParam(path, kIpcFamilyKey, std::strlen(kIpcFamilyKey), value, sizeof value) != 0) {
    ::syslog(LOG_DEBUG, "cannot get Address Family [ErrID=%d]", kIpcErrIdArgument);
    return kIpcBadArgument;
  }
  const long family = std::strtol(value, nullptr, 10);
  return family < 0 || family > 0xFFFF ? 0 : static_cast<int>(family);
}

int ipc_register_endpoint(const char* path, uint32_t id, int port) {
  FILE* stream = IPC_pfFlockOpen(path, "a+");
  if (stream == nullptr) {
    return kIpcBadArgument;
  }
  char tag[kIdDigits + 1];
  std::snprintf(tag, sizeof tag, "%08x", id);

  // The whole rewrite happens under the lock, so registrations of several
  // processes at once cannot lose or duplicate lines.
  std::string kept;
  std::rewind(stream);
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t n = 0;
  while ((n = ::getline(&line, &capacity, stream)) > 0) {
    if (::memmem(line, static_cast<size_t>(n), tag, kIdDigits) == nullptr) {
      kept.append(line, static_cast<size_t>(n));
    }
  }
  std::free(line);
  if (!kept.empty() && kept.back() != '\n') {
    kept.push_back('\n');
  }
  char entry[32];
  const int entry_length = std::snprintf(entry, sizeof entry, "%08x=%d\n", id, port);
  kept.append(entry, static_cast<size_t>(entry_length));

  // Rewritten in place, then cut to its new length: the file (possibly the
  // event service's) is never left empty. An append-mode descriptor would
  // put every write at the end, so that mode is dropped first.
  std::fflush(stream);
  const int fd = ::fileno(stream);
  const int status_flags = ::fcntl(fd, F_GETFL);
  int result = 0;
  if (status_flags < 0 || ::fcntl(fd, F_SETFL, status_flags & ~O_APPEND) != 0 ||
      ::pwrite(fd, kept.data(), kept.size(), 0) != static_cast<ssize_t>(kept.size()) ||
      ::ftruncate(fd, static_cast<off_t>(kept.size())) != 0) {
    result = kIpcBadArgument;
  }
  IPC_vFlockClose(stream);
  return result;
}

int ipc_lookup_port(const char* path, uint32_t id, int* port) {
  FILE* stream = IPC_pfFlockOpen(path, "rb");
  if (stream == nullptr) {
    return kIpcBadArgument;
  }
  *port = 0;
  char line[kLookupLineSize];
  while (std::fgets(line, sizeof line, stream) != nullptr) {
    uint32_t line_id = 0;
    int line_port = 0;
    if (parse_endpoint_line(line, &line_id, &line_port) && line_id == id) {
      *port = line_port;
      break;
    }
  }
  IPC_vFlockClose(stream);
  return 0;
}
