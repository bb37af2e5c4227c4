// One RTSP viewer as a small state machine: DESCRIBE, SETUP, PLAY, receive
// and keep alive, TEARDOWN. Non-blocking; many of them share one poll loop.
#pragma once

#include <poll.h>

#include <cstdint>
#include <string>
#include <vector>

namespace viewers {

enum class transport { udp, tcp, multicast };

struct viewer_config {
  std::string url;
  transport how = transport::udp;
  int client_port = 0;      // udp: RTP port, RTCP one above
  int keepalive_ms = 5000;  // GET_PARAMETER and an RTCP receiver report this often
  bool teardown = true;     // false: vanish without TEARDOWN
};

class viewer {
 public:
  viewer(int index, viewer_config config);
  ~viewer();
  viewer(const viewer&) = delete;
  viewer& operator=(const viewer&) = delete;

  bool connect_now();
  void add_poll_fds(std::vector<pollfd>& fds);
  void serve(const std::vector<pollfd>& fds, int64_t now);
  void tick(int64_t now);
  // Sends TEARDOWN (or just closes); done() once answered.
  void leave();
  bool done() const { return state_ == state::done || state_ == state::failed; }
  bool failed() const { return state_ == state::failed; }
  bool playing() const { return state_ == state::playing; }
  bool received() const { return packets_ > 0; }
  // The report line (JSON).
  std::string report() const;

 private:
  enum class state { describing, setting_up, starting, playing, leaving, done, failed };
  void request(const std::string& method, const std::string& url, const std::string& extra);
  void on_reply(int code, const std::string& head);
  void fail(const std::string& why);
  void take_rtp(const uint8_t* data, size_t len);
  void take_stream();
  void open_udp(int port, const std::string& group);

  int index_;
  viewer_config config_;
  state state_ = state::describing;
  int tcp_ = -1;
  int rtp_ = -1;
  int rtcp_ = -1;
  std::string in_;
  int cseq_ = 0;
  std::string control_;
  std::string session_;
  std::string server_host_;
  int server_rtcp_port_ = 0;
  int64_t next_keepalive_ = 0;
  uint64_t packets_ = 0;
  uint64_t lost_ = 0;
  int64_t last_seq_ = -1;
  uint32_t ssrc_ = 0;
  int ssrcs_ = 0;
  std::string error_;
};

} // namespace viewers
