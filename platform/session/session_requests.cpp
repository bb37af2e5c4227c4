// Requests to the session daemon: registration, bit-rate update and removal,
// one connection each (format in platform/session_wire.h). Removal runs in
// the daemon's signal handler, so this file keeps to socket calls and stack
// buffers: no allocation, no stdio, no syslog.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/session.h"
#include "platform/session_wire.h"
#include "socket_io.h"

const char* g_session_service_path = kSessionServicePath;

namespace {

void put_u32(unsigned char* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

int32_t get_i32(const unsigned char* at) {
  int32_t value = 0;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Sends code and body, reads the reply into reply (at most cap bytes).
// Returns the reply's length or -1.
int exchange(uint32_t code, const void* body, uint32_t body_len, unsigned char* reply, int cap) {
  unsigned char request[8 + kSessionMaxRequestLength];
  if (body_len > kSessionMaxRequestLength - 4) {
    return -1;
  }
  put_u32(request, 4 + body_len);
  put_u32(request + 4, code);
  if (body_len > 0) {
    std::memcpy(request + 8, body, body_len);
  }

  const int saved_errno = errno;
  int result = -1;
  const int fd = s_create_client_socket();
  if (fd >= 0) {
    const int64_t deadline = session_io::monotonic_ms() + session_io::kIoTimeoutMs;
    uint32_t reply_len = 0;
    if (s_connect_serv(fd, g_session_service_path) == 0 &&
        session_io::write_all(fd, request, static_cast<int>(8 + body_len), deadline) >= 0 &&
        session_io::read_all(fd, &reply_len, sizeof reply_len, deadline) >= 0 &&
        reply_len <= static_cast<uint32_t>(cap) &&
        session_io::read_all(fd, reply, static_cast<int>(reply_len), deadline) >= 0) {
      result = static_cast<int>(reply_len);
    }
    close(fd);
  }
  errno = saved_errno;
  return result;
}

// The status word of a reply that carries at least one.
int status_of(const unsigned char* reply, int len) { return len >= 4 ? get_i32(reply) : -1; }

} // namespace

int s_udp_add_session(session_info* info) {
  if (info == nullptr) {
    return -1;
  }
  unsigned char reply[kSessionMaxReplyLength];
  const int len = exchange(kSessionAdd, info, sizeof *info, reply, sizeof reply);
  if (len < 8 || status_of(reply, len) != 0) {
    return -1;
  }
  info->session_id = get_i32(reply + 4);
  return 0;
}

int s_update_session(int session_id, unsigned bitrate_kbps) {
  unsigned char body[kSessionUpdateBodySize];
  put_u32(body, static_cast<uint32_t>(session_id));
  put_u32(body + 4, bitrate_kbps);
  unsigned char reply[kSessionMaxReplyLength];
  const int len = exchange(kSessionUpdate, body, sizeof body, reply, sizeof reply);
  return len < 0 ? -1 : status_of(reply, len);
}

int s_remove_session(int session_id) {
  unsigned char body[kSessionRemoveBodySize];
  put_u32(body, static_cast<uint32_t>(session_id));
  unsigned char reply[kSessionMaxReplyLength];
  const int len = exchange(kSessionRemove, body, sizeof body, reply, sizeof reply);
  return len < 0 ? -1 : status_of(reply, len);
}
