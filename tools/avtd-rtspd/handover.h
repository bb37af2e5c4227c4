// The offer of a player's TCP connection to its daemon on
// "/tmp/rtp_over_http_sock_N": listen, accept the daemon's connect, pass
// the descriptor. Non-blocking, driven from the poll loop.
#pragma once

#include <string>

namespace rtspd {

class handover_offer {
 public:
  handover_offer() = default;
  ~handover_offer();
  handover_offer(const handover_offer&) = delete;
  handover_offer& operator=(const handover_offer&) = delete;

  bool open(int session_id);
  // The descriptor to watch: the listener, then the daemon's connection.
  int fd() const { return conn_ >= 0 ? conn_ : listener_; }
  bool daemon_waiting() const { return conn_ >= 0; }
  // Takes the daemon's connection when the listener is readable.
  void accept_daemon();
  // Passes tcp to the waiting daemon and closes the offer. False on failure.
  bool pass(int tcp);
  void close_all();

 private:
  int listener_ = -1;
  int conn_ = -1;
  std::string path_;
};

} // namespace rtspd
