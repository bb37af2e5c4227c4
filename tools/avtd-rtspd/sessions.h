// The session table: the viewers' RTSP sessions, the multicast streams
// they share, the source ports handed out, and the session service's side
// of them (ids, bit-rate reports, the frame rate a daemon asks for).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "requests.h"
#include "stream_url.h"
#include "transport.h"

namespace rtspd {

enum class run_state { ready, starting, playing, stopping };

struct session {
  int id = 0;
  rtsp::stream_ref stream;
  rtsp::transport_spec transport;
  int conn = -1;          // the connection that set it up
  std::string client;     // the player's numeric address
  std::string device;     // the interface the daemon sends on
  int port_slot = -1;     // unicast UDP: source port pair
  int shared = -1;        // multicast: the shared stream's id
  pid_t daemon = -1;
  run_state state = run_state::ready;
  int64_t last_seen = 0;  // last sign of the player (ms)
  int64_t last_signal = 0; // last keep-alive passed on to the daemon (ms)
  uint32_t bitrate = 0;   // kbit/s, as the daemon last reported
};

struct shared_stream {
  int id = 0;             // the daemon's session id
  rtsp::stream_ref stream;
  bool v6 = false;
  std::string group;
  int port = 0;
  int port_slot = -1;
  std::string device;
  pid_t daemon = -1;
  run_state state = run_state::ready;
  std::set<int> viewers;  // session ids
  uint32_t bitrate = 0;
};

class session_table : public session_policy {
 public:
  session_table(int first_server_port, int slots, int default_framerate)
      : first_port_(first_server_port), slots_(static_cast<size_t>(slots), false), framerate_(default_framerate) {}

  int new_id() { return next_id_++; }
  // Source port pair: the slot's first port, or -1 with none free.
  int take_slot();
  void free_slot(int slot);
  int port_of(int slot) const { return first_port_ + 2 * slot; }

  std::map<int, session> sessions;
  std::map<int, shared_stream> shared;

  session* find(int id);
  shared_stream* find_shared(int id);
  // The running or starting daemons, and those to come for ready sessions.
  size_t daemons_planned() const;

  // session_policy: the "/tmp/session" requests.
  int add(const session_info& info) override;
  bool update(int session_id, uint32_t bitrate_kbps) override;
  bool remove(int session_id) override;
  std::string framerate(pid_t asker) override;

 private:
  int first_port_;
  std::vector<bool> slots_;
  int framerate_;
  int next_id_ = 1;
  std::set<int> registered_; // registered by daemons started elsewhere
};

} // namespace rtspd
