// The daemons behind the sessions: their command lines, starting, stopping,
// the hand-over of RTP over TCP, and what their starts and ends mean for
// the sessions and the players waiting on them.
#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "log.h"
#include "server.h"

namespace rtspd {
namespace {

constexpr int kUnicastTtl = 64;


int kind_index(int payload) {
  switch (payload) {
    case rtsp::kPayloadH264: return 0;
    case rtsp::kPayloadJpeg: return 1;
    case rtsp::kPayloadMpeg4: return 2;
    case rtsp::kPayloadUlaw: return 3;
    default: return 4;
  }
}

// The group of a channel and kind: the base address plus its index.
std::string group_address(const std::string& base, bool v6, int index) {
  if (v6) {
    in6_addr a{};
    inet_pton(AF_INET6, base.c_str(), &a);
    const unsigned low = (a.s6_addr[14] << 8 | a.s6_addr[15]) + static_cast<unsigned>(index);
    a.s6_addr[14] = static_cast<uint8_t>(low >> 8);
    a.s6_addr[15] = static_cast<uint8_t>(low);
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &a, text, sizeof text);
    return text;
  }
  in_addr a{};
  inet_pton(AF_INET, base.c_str(), &a);
  a.s_addr = htonl(ntohl(a.s_addr) + static_cast<uint32_t>(index));
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

// The daemon's pid file for a multicast stream (one per channel for video).
std::string shared_pid_file(const rtsp::stream_ref& ref) {
  const int n = ref.payload == rtsp::kPayloadUlaw ? 3 : ref.payload == rtsp::kPayloadMetadata ? 4 : ref.channel;
  return "/var/run/avtd_channel" + std::to_string(n) + ".pid";
}

std::vector<std::string> common_args(const options& opts, const rtsp::stream_ref& ref, int id) {
  std::vector<std::string> args{opts.avtd, "--datatype=" + ref.datatype(), "--tos=0", "--session_id=" + std::to_string(id)};
  if (ref.payload == rtsp::kPayloadJpeg) {
    // The rate the player asked for comes through the frame-rate query.
    args.insert(args.end(), {"--enable-rfc2435", "--framerate=30"});
  }
  return args;
}

} // namespace

shared_stream* server::new_shared(const rtsp::stream_ref& ref, const connection& c) {
  for (const auto& [id, m] : table_.shared) {
    if (shared_pid_file(m.stream) == shared_pid_file(ref)) {
      return nullptr;
    }
  }
  const int slot = table_.take_slot();
  if (slot < 0) {
    return nullptr;
  }
  shared_stream m;
  m.id = table_.new_id();
  m.stream = ref;
  m.stream.fps = ref.fps;
  m.v6 = c.v6;
  const int index = ref.channel * 5 + kind_index(ref.payload);
  m.group = group_address(c.v6 ? opts_.multicast_base6 : opts_.multicast_base, c.v6, index);
  m.port = opts_.multicast_port + 2 * index;
  m.port_slot = slot;
  m.device = c.device;
  return &table_.shared.emplace(m.id, m).first->second;
}

launch_request server::daemon_command(const session& s) const {
  launch_request l{s.id, common_args(opts_, s.stream, s.id), {}};
  const bool tcp = s.transport.kind == rtsp::transport_kind::tcp;
  l.argv.insert(l.argv.end(),
                {"--host=" + s.client, "--ttl=" + std::to_string(kUnicastTtl), "--device=" + s.device,
                 "--timeout=" + std::to_string(opts_.session_timeout)});
  if (tcp) {
    l.argv.insert(l.argv.end(), {"--dstport=0", "--protocol=rtp_tcp",
                                 "--interleaved=" + std::to_string(s.transport.rtp_channel) + "-" +
                                     std::to_string(s.transport.rtcp_channel)});
  } else {
    l.argv.insert(l.argv.end(), {"--dstport=" + std::to_string(s.transport.client_rtp_port),
                                 "--srcport=" + std::to_string(table_.port_of(s.port_slot)), "--protocol=rtp_udp"});
  }
  l.pid_file = s.stream.payload == rtsp::kPayloadMetadata ? "/var/run/avtd_metadata_" + std::to_string(s.id) + ".pid"
                                                         : "/var/run/avtd_" + std::to_string(s.id) + ".pid";
  return l;
}

launch_request server::shared_command(const shared_stream& m) const {
  launch_request l{m.id, common_args(opts_, m.stream, m.id), shared_pid_file(m.stream)};
  l.argv.insert(l.argv.end(), {"--host=" + m.group, "--dstport=" + std::to_string(m.port),
                               "--srcport=" + std::to_string(table_.port_of(m.port_slot)),
                               "--ttl=" + std::to_string(opts_.ttl), "--device=" + m.device, "--protocol=rtp_udp",
                               "--timeout=0"});
  return l;
}

void server::start_daemon(session& s, int64_t now) {
  s.state = run_state::starting;
  if (s.transport.kind == rtsp::transport_kind::tcp) {
    auto offer = std::make_unique<handover_offer>();
    if (!offer->open(s.id)) {
      note("session %d: cannot offer the connection: %s", s.id, std::strerror(errno));
    }
    offers_[s.id] = std::move(offer);
  }
  daemons_.launch(daemon_command(s), now);
}

void server::start_shared(shared_stream& m, int64_t now) {
  m.state = run_state::starting;
  daemons_.launch(shared_command(m), now);
}

void server::answer_play(int session_id, bool started) {
  session* s = table_.find(session_id);
  connection* c = s != nullptr ? find_conn(s->conn) : nullptr;
  if (c == nullptr || c->waiting_on != session_id) {
    return;
  }
  const rtsp::request r = std::move(c->waiting_request);
  c->waiting_on = -1;
  if (started) {
    queue_reply(*c, rtsp::reply(200, r.cseq, {{"Session", session_header(session_id)}, {"Range", "npt=0.000-"}}));
    if (s->transport.kind == rtsp::transport_kind::tcp) {
      // From here on the daemon may write: every later reply is held.
      c->handed_to = session_id;
    }
  } else {
    queue_reply(*c, rtsp::reply(503, r.cseq));
  }
  // Requests that came behind the PLAY are taken up by the next tick.
}

void server::hand_over(session& s) {
  const auto it = offers_.find(s.id);
  connection* c = find_conn(s.conn);
  if (it == offers_.end() || c == nullptr || !c->out.empty() || !it->second->daemon_waiting()) {
    return;
  }
  if (!it->second->pass(c->fd)) {
    note("session %d: hand-over to daemon %d failed", s.id, static_cast<int>(s.daemon));
  }
  offers_.erase(it);
}

void server::end_session(int id, int64_t now, const char* why) {
  session* s = table_.find(id);
  if (s == nullptr || s->state == run_state::stopping) {
    return;
  }
  note("session %d: ending (%s)", id, why);
  if (shared_stream* m = table_.find_shared(s->shared)) {
    m->viewers.erase(id);
    if (m->viewers.empty()) {
      if (m->daemon > 0) {
        daemons_.stop(m->daemon, now);
        m->state = run_state::stopping;
      } else if (m->state == run_state::starting) {
        m->state = run_state::stopping; // stopped once it has started
      } else {
        table_.free_slot(m->port_slot);
        table_.shared.erase(m->id);
      }
    }
    finish_session(id);
    return;
  }
  if (s->daemon > 0) {
    daemons_.stop(s->daemon, now);
    s->state = run_state::stopping;
  } else if (s->state == run_state::starting) {
    s->state = run_state::stopping;
  } else {
    finish_session(id);
  }
}

void server::finish_session(int id) {
  session* s = table_.find(id);
  if (s == nullptr) {
    return;
  }
  answer_play(id, false);
  table_.free_slot(s->port_slot);
  offers_.erase(id);
  if (connection* c = find_conn(s->conn); c != nullptr && c->handed_to == id) {
    // The daemon has ended: the stream is at a frame boundary and the
    // held replies go out in order.
    c->handed_to = -1;
    for (std::string& text : c->held) {
      c->out += text;
    }
    c->held.clear();
    send_out(*c);
  }
  table_.sessions.erase(id);
}

void server::on_daemon_event(const daemon_event& e, int64_t now) {
  session* s = table_.find(e.key);
  shared_stream* m = table_.find_shared(e.key);
  switch (e.what) {
    case daemon_event::kind::started:
      note("session %d: daemon %d started", e.key, static_cast<int>(e.pid));
      if (s != nullptr) {
        s->daemon = e.pid;
        if (s->state == run_state::stopping) {
          daemons_.stop(e.pid, now);
          return;
        }
        s->state = run_state::playing;
        s->last_signal = now;
        answer_play(s->id, true);
      } else if (m != nullptr) {
        m->daemon = e.pid;
        if (m->state == run_state::stopping) {
          daemons_.stop(e.pid, now);
          return;
        }
        m->state = run_state::playing;
        for (const int v : std::set<int>(m->viewers)) {
          if (session* viewer = table_.find(v); viewer != nullptr && viewer->state == run_state::starting) {
            viewer->state = run_state::playing;
            answer_play(v, true);
          }
        }
      } else {
        daemons_.stop(e.pid, now);
      }
      return;
    case daemon_event::kind::failed:
    case daemon_event::kind::exited: {
      note("session %d: daemon %d %s: %s", e.key, static_cast<int>(e.pid),
           e.what == daemon_event::kind::failed ? "did not start" : "ended", e.why.c_str());
      if (s != nullptr) {
        connection* c = find_conn(s->conn);
        // An interleaved stream that ended by itself leaves the player
        // nothing to wait for on this connection.
        const bool by_itself = s->state == run_state::playing && c != nullptr && c->handed_to == s->id;
        finish_session(s->id);
        if (by_itself) {
          c->closing = true;
        }
      } else if (m != nullptr) {
        for (const int v : std::set<int>(m->viewers)) {
          finish_session(v);
        }
        table_.free_slot(m->port_slot);
        table_.shared.erase(e.key);
      }
      return;
    }
  }
}

} // namespace rtspd
