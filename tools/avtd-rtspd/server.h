// The RTSP side: listening sockets, the players' connections (bounded
// buffers, request deadlines, no blocking call anywhere), the methods, and
// the viewers' daemons started, kept alive and stopped through the pool.
#pragma once

#include <poll.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daemons.h"
#include "handover.h"
#include "options.h"
#include "request.h"
#include "sessions.h"

namespace rtspd {

struct connection {
  int id = 0;
  int fd = -1;            // blocking socket: it may be handed to a daemon; I/O here uses MSG_DONTWAIT
  bool v6 = false;        // the player reached an IPv6 address
  std::string peer;       // numeric, IPv4-mapped addresses as IPv4
  std::string device;     // the interface of our end
  std::string in;
  std::string out;
  size_t skip = 0;        // bytes of a '$' frame still to drop
  int64_t partial_since = 0; // an unfinished request waits since (ms); 0: none
  int waiting_on = -1;    // a reply waits for this session's daemon to start
  rtsp::request waiting_request;
  int handed_to = -1;     // the session whose daemon writes on this connection
  std::vector<std::string> held; // replies held back while a daemon writes
  bool closing = false;   // close once `out` is written
  int64_t last_active = 0;
};

class server {
 public:
  server(const options& opts, daemon_pool& daemons, session_table& table);
  ~server();
  bool listen_all();
  void add_poll_fds(std::vector<pollfd>& fds);
  void serve(const std::vector<pollfd>& fds, size_t first, int64_t now);
  void on_daemon_event(const daemon_event& e, int64_t now);
  void tick(int64_t now);
  // Whole requests wait behind a reply that has come: tick soon.
  bool input_pending() const;
  void shutdown();

 private:
  // server.cpp: connections
  void accept_from(int listener, int64_t now);
  void read_from(connection& c, int64_t now);
  void process_input(connection& c, int64_t now);
  void send_out(connection& c);
  void queue_reply(connection& c, std::string text);
  void drop_connection(int id, int64_t now);
  connection* find_conn(int id);
  bool has_sessions(int conn_id) const;

  // methods.cpp: one request, answered now or when a daemon has started
  void handle(connection& c, const rtsp::request& r, int64_t now);
  std::string do_describe(const connection& c, const rtsp::request& r);
  std::string do_setup(connection& c, const rtsp::request& r, int64_t now);
  std::string do_play(connection& c, const rtsp::request& r, int64_t now, bool& deferred);
  std::string do_teardown(connection& c, const rtsp::request& r, int64_t now);
  std::string do_get_parameter(connection& c, const rtsp::request& r, int64_t now);
  // The session a request names: 0 without a Session header, -1 unknown.
  int session_of(const rtsp::request& r);
  void keep_alive(session& s, int64_t now);

  // streams.cpp: the daemons behind the sessions
  void start_daemon(session& s, int64_t now);
  void start_shared(shared_stream& m, int64_t now);
  // A new multicast stream for the connection's family; nullptr when its
  // pid file is taken by another multicast stream.
  shared_stream* new_shared(const rtsp::stream_ref& ref, const connection& c);
  void end_session(int id, int64_t now, const char* why);
  void finish_session(int id);
  void answer_play(int session_id, bool started);
  void hand_over(session& s);
  launch_request daemon_command(const session& s) const;
  launch_request shared_command(const shared_stream& m) const;
  std::string session_header(int id) const;

  const options& opts_;
  daemon_pool& daemons_;
  session_table& table_;
  std::vector<int> listeners_;
  std::map<int, connection> conns_;
  std::map<int, std::unique_ptr<handover_offer>> offers_; // by session id
  int next_conn_ = 1;
  // What each descriptor of the last add_poll_fds was: 'l'istener,
  // 'c'onnection or 'o'ffer, and whose.
  std::vector<std::pair<char, int>> polled_;
};

} // namespace rtspd
