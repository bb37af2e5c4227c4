#include "media/frame_rate_query.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/session.h"
#include "support/log.h"

namespace {

constexpr uint32_t kRequestLength = 4;
// A decimal frame rate is a few characters; a longer reply is not one and is
// not read (the peer could otherwise make us allocate whatever it announces).
constexpr uint32_t kMaxReplyLength = 63;

class client_socket {
 public:
  explicit client_socket(int fd) : fd_(fd) {}
  ~client_socket() {
    if (fd_ >= 0) close(fd_);
  }
  client_socket(const client_socket&) = delete;
  client_socket& operator=(const client_socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

int query_session_frame_rate(const char* unit, const char* service_path) {
  const int fd = s_create_client_socket();
  if (fd < 0) {
    LOG_NAMED(LOG_INFO, unit, " : create socket error(%s)", std::strerror(errno));
    return kDefaultSessionRate;
  }
  client_socket sock(fd);
  if (s_connect_serv(sock.fd(), service_path) < 0) {
    const int err = errno;
    LOG_NAMED(LOG_INFO, unit, " : connect sessiond error(%s)", std::strerror(err));
    return kDefaultSessionRate;
  }
  const uint32_t length = kRequestLength;
  const uint32_t code = kSessionFrameRateQuery;
  if (s_write_data(sock.fd(), &length, sizeof length) < 0) return kDefaultSessionRate;
  if (s_write_data(sock.fd(), &code, sizeof code) < 0) return kDefaultSessionRate;

  uint32_t reply_length = 0;
  if (s_read_data(sock.fd(), &reply_length, sizeof reply_length) < 0) return kDefaultSessionRate;
  if (reply_length > kMaxReplyLength) return kDefaultSessionRate;
  char text[kMaxReplyLength + 1] = {};
  if (reply_length > 0 && s_read_data(sock.fd(), text, static_cast<int>(reply_length)) < 0) {
    return kDefaultSessionRate;
  }
  text[reply_length] = '\0';
  const long rate = std::strtol(text, nullptr, 10);
  return static_cast<int>(std::clamp<long>(rate, INT_MIN, INT_MAX));
}
