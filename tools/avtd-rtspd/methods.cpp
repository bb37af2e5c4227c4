// The RTSP methods: what each answers, and which state a session must be in.
#include <charconv>

#include "describe.h"
#include "log.h"
#include "server.h"
#include "stream_url.h"
#include "transport.h"

namespace rtspd {
namespace {

constexpr char kPublic[] = "OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER";
// Methods of RTSP 1.0 this server knows and does not allow (405); any other
// method is not implemented (501).
constexpr const char* kRefused[] = {"PAUSE", "ANNOUNCE", "RECORD", "SET_PARAMETER", "REDIRECT"};
// The daemon refuses loopback destinations; an RTP-over-TCP daemon never
// sends to its --host, so a loopback player gets a documentation address.
constexpr char kUnusedHost4[] = "192.0.2.1";
constexpr char kUnusedHost6[] = "2001:db8::dead";

bool is_loopback(const std::string& host) { return host == "::1" || host.rfind("127.", 0) == 0; }
// The daemon takes an address without a scope: a link-local player cannot
// be reached over UDP.
bool is_link_local(const std::string& host) { return host.rfind("fe80:", 0) == 0; }

using headers = std::vector<std::pair<std::string, std::string>>;

} // namespace

std::string server::session_header(int id) const {
  return std::to_string(id) + ";timeout=" + std::to_string(opts_.session_timeout);
}

int server::session_of(const rtsp::request& r) {
  const std::string* h = r.header("Session");
  if (h == nullptr) {
    return 0;
  }
  const std::string_view text(*h);
  const std::string_view id = text.substr(0, text.find(';'));
  int n = 0;
  const auto res = std::from_chars(id.data(), id.data() + id.size(), n);
  if (res.ec != std::errc() || res.ptr != id.data() + id.size() || table_.find(n) == nullptr) {
    return -1;
  }
  return n;
}

void server::keep_alive(session& s, int64_t now) {
  s.last_seen = now;
  // One SIGUSR1 a second is all the daemon's clock needs, however fast a
  // player talks.
  if (s.daemon > 0 && s.shared < 0 && now - s.last_signal >= 1000) {
    daemons_.keep_alive(s.daemon);
    s.last_signal = now;
  }
}

void server::handle(connection& c, const rtsp::request& r, int64_t now) {
  const std::string& m = r.method;
  std::string text;
  if (m == "OPTIONS") {
    const int sid = session_of(r);
    if (sid > 0) {
      keep_alive(*table_.find(sid), now);
    }
    text = rtsp::reply(200, r.cseq, {{"Public", kPublic}});
  } else if (m == "DESCRIBE") {
    text = do_describe(c, r);
  } else if (m == "SETUP") {
    text = do_setup(c, r, now);
  } else if (m == "PLAY") {
    bool deferred = false;
    text = do_play(c, r, now, deferred);
    if (deferred) {
      c.waiting_on = session_of(r);
      c.waiting_request = r;
      return;
    }
  } else if (m == "TEARDOWN") {
    text = do_teardown(c, r, now);
  } else if (m == "GET_PARAMETER") {
    text = do_get_parameter(c, r, now);
  } else {
    bool known = false;
    for (const char* k : kRefused) {
      known = known || m == k;
    }
    text = known ? rtsp::reply(405, r.cseq, {{"Allow", kPublic}}) : rtsp::reply(501, r.cseq);
  }
  queue_reply(c, std::move(text));
}

std::string server::do_describe(const connection& c, const rtsp::request& r) {
  const auto ref = rtsp::parse_stream_url(r.url);
  if (!ref) {
    return rtsp::reply(404, r.cseq);
  }
  sdp::SdpOptions o;
  o.payload = ref->payload;
  o.channel = ref->channel;
  o.host = c.v6 ? "::" : "0.0.0.0";
  o.device = c.device;
  o.framerate = ref->fps;
  o.enable_rfc2435 = ref->payload == rtsp::kPayloadJpeg;
  o.wait = 0; // what the store holds now: nobody else waits for this answer
  sdp::SdpParams p = sdp::describe_stream(o, nullptr);
  p.control = rtsp::control_url(r.url);
  const std::string base = r.url.substr(0, r.url.find('?'));
  return rtsp::reply(200, r.cseq,
                     {{"Content-Type", "application/sdp"},
                      {"Content-Base", base.back() == '/' ? base : base + "/"}},
                     sdp::build_sdp(p));
}

std::string server::do_setup(connection& c, const rtsp::request& r, int64_t now) {
  const auto ref = rtsp::parse_stream_url(r.url);
  if (!ref) {
    return rtsp::reply(404, r.cseq);
  }
  if (r.header("Session") != nullptr) {
    // One stream per session: a second SETUP has nothing to add to it.
    return rtsp::reply(session_of(r) > 0 ? 455 : 454, r.cseq);
  }
  const std::string* th = r.header("Transport");
  const auto chosen = th == nullptr ? std::nullopt : rtsp::choose_transport(*th);
  if (!chosen || (chosen->kind == rtsp::transport_kind::udp && (is_loopback(c.peer) || is_link_local(c.peer)))) {
    return rtsp::reply(461, r.cseq);
  }
  if (c.device.empty()) {
    return rtsp::reply(500, r.cseq);
  }

  session s;
  s.stream = *ref;
  s.transport = *chosen;
  s.conn = c.id;
  s.client = is_loopback(c.peer) ? (c.v6 ? kUnusedHost6 : kUnusedHost4) : c.peer;
  s.device = c.device;
  s.last_seen = now;
  rtsp::transport_reply with;
  const bool full = table_.daemons_planned() >= static_cast<size_t>(opts_.max_sessions);
  if (chosen->kind == rtsp::transport_kind::multicast) {
    shared_stream* joined = nullptr;
    for (auto& [id, m] : table_.shared) {
      if (m.stream.same_stream(*ref) && m.v6 == c.v6 && m.state != run_state::stopping) {
        joined = &m;
      }
    }
    if (joined == nullptr) {
      if (full) {
        return rtsp::reply(503, r.cseq);
      }
      joined = new_shared(*ref, c);
      if (joined == nullptr) {
        return rtsp::reply(461, r.cseq);
      }
    }
    s.shared = joined->id;
    with.group = joined->group;
    with.group_port = joined->port;
    with.ttl = opts_.ttl;
  } else {
    if (full) {
      return rtsp::reply(503, r.cseq);
    }
    if (chosen->kind == rtsp::transport_kind::udp) {
      s.port_slot = table_.take_slot();
      if (s.port_slot < 0) {
        return rtsp::reply(503, r.cseq);
      }
      with.server_rtp_port = table_.port_of(s.port_slot);
    }
  }
  s.id = table_.new_id();
  if (shared_stream* m = table_.find_shared(s.shared)) {
    m->viewers.insert(s.id);
  }
  table_.sessions.emplace(s.id, s);
  note("session %d: SETUP %s for %s, %s", s.id, ref->path.c_str(), c.peer.c_str(),
       rtsp::transport_header(*chosen, with).c_str());
  return rtsp::reply(200, r.cseq,
                     {{"Transport", rtsp::transport_header(*chosen, with)}, {"Session", session_header(s.id)}});
}

std::string server::do_play(connection& c, const rtsp::request& r, int64_t now, bool& deferred) {
  const int sid = session_of(r);
  if (sid <= 0) {
    return rtsp::reply(sid == 0 ? 455 : 454, r.cseq);
  }
  session& s = *table_.find(sid);
  keep_alive(s, now);
  if (s.state == run_state::playing) {
    return rtsp::reply(200, r.cseq, {{"Session", session_header(sid)}, {"Range", "npt=0.000-"}});
  }
  if (s.state != run_state::ready || s.conn != c.id) {
    return rtsp::reply(455, r.cseq);
  }
  if (shared_stream* m = table_.find_shared(s.shared)) {
    if (m->state == run_state::playing) {
      s.state = run_state::playing;
      return rtsp::reply(200, r.cseq, {{"Session", session_header(sid)}, {"Range", "npt=0.000-"}});
    }
    s.state = run_state::starting;
    if (m->state == run_state::ready) {
      start_shared(*m, now);
    }
  } else {
    start_daemon(s, now);
  }
  deferred = true;
  return {};
}

std::string server::do_teardown(connection&, const rtsp::request& r, int64_t now) {
  const int sid = session_of(r);
  if (sid <= 0) {
    return rtsp::reply(sid == 0 ? 455 : 454, r.cseq);
  }
  end_session(sid, now, "TEARDOWN");
  return rtsp::reply(200, r.cseq);
}

std::string server::do_get_parameter(connection&, const rtsp::request& r, int64_t now) {
  const int sid = session_of(r);
  if (sid < 0) {
    return rtsp::reply(454, r.cseq);
  }
  session* s = table_.find(sid);
  if (s != nullptr) {
    keep_alive(*s, now);
  }
  std::string body;
  std::string_view rest = r.body;
  while (!rest.empty()) {
    const size_t nl = rest.find('\n');
    std::string_view name = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.remove_suffix(1);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    if (name.empty()) {
      continue;
    }
    if (!rtsp::iequals(name, "bitrate")) {
      return rtsp::reply(451, r.cseq);
    }
    if (s == nullptr) {
      return rtsp::reply(454, r.cseq);
    }
    const shared_stream* m = table_.find_shared(s->shared);
    body += "bitrate: " + std::to_string(m != nullptr ? m->bitrate : s->bitrate) + "\r\n";
  }
  if (body.empty()) {
    return rtsp::reply(200, r.cseq);
  }
  return rtsp::reply(200, r.cseq, {{"Content-Type", "text/parameters"}}, body);
}

} // namespace rtspd
