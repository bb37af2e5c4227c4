#include "handover.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

#include "handoff.h"

namespace rtspd {

handover_offer::~handover_offer() { close_all(); }

bool handover_offer::open(int session_id) {
  close_all();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "/tmp/rtp_over_http_sock_%d", session_id);
  path_ = addr.sun_path;
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0) {
    return false;
  }
  unlink(path_.c_str());
  if (bind(listener_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(listener_, 1) != 0) {
    close_all();
    return false;
  }
  return true;
}

void handover_offer::accept_daemon() {
  if (conn_ < 0 && listener_ >= 0) {
    conn_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  }
}

bool handover_offer::pass(int tcp) {
  const bool ok = conn_ >= 0 && pass_descriptor(conn_, tcp) == 0;
  close_all();
  return ok;
}

void handover_offer::close_all() {
  if (conn_ >= 0) {
    close(conn_);
    conn_ = -1;
  }
  if (listener_ >= 0) {
    close(listener_);
    listener_ = -1;
    unlink(path_.c_str());
  }
}

} // namespace rtspd
