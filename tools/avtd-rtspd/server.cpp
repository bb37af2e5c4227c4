#include "server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "log.h"

namespace rtspd {
namespace {

constexpr size_t kMaxRequest = 8192;     // head and body of one request
constexpr size_t kMaxOutput = 64 * 1024; // replies a player has not read yet
constexpr size_t kMaxHeld = 32;          // replies held while a daemon writes
constexpr size_t kReadChunk = 16 * 1024;
constexpr int kBacklog = 128;

std::string numeric(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
    return text;
  }
  const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
  if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
    inet_ntop(AF_INET, in6.sin6_addr.s6_addr + 12, text, sizeof text);
  } else {
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
  }
  return text;
}

// The interface holding a local address.
std::string interface_of(const std::string& address) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    return {};
  }
  std::string found;
  for (ifaddrs* a = list; a != nullptr && found.empty(); a = a->ifa_next) {
    if (a->ifa_addr == nullptr || (a->ifa_addr->sa_family != AF_INET && a->ifa_addr->sa_family != AF_INET6)) {
      continue;
    }
    sockaddr_storage s{};
    std::memcpy(&s, a->ifa_addr, a->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    if (numeric(s) == address) {
      found = a->ifa_name;
    }
  }
  freeifaddrs(list);
  return found;
}

int listen_on(const std::string& address, int port) {
  sockaddr_storage a{};
  socklen_t len = 0;
  const bool v6 = address.find(':') != std::string::npos;
  if (v6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, address.c_str(), &in6.sin6_addr);
    len = sizeof in6;
  } else {
    auto& in = reinterpret_cast<sockaddr_in&>(a);
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &in.sin_addr);
    len = sizeof in;
  }
  const int fd = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    return -1;
  }
  const int one = 1;
  const int zero = 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (v6) {
    // The wildcard serves IPv4 players too; a given address only itself.
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, address == "::" ? &zero : &one, sizeof one);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd, kBacklog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

} // namespace

server::server(const options& opts, daemon_pool& daemons, session_table& table)
    : opts_(opts), daemons_(daemons), table_(table) {}

server::~server() { shutdown(); }

bool server::listen_all() {
  std::vector<std::string> addresses = opts_.listen;
  if (addresses.empty()) {
    const int fd = listen_on("::", opts_.port);
    if (fd >= 0) {
      listeners_.push_back(fd);
      return true;
    }
    addresses.push_back("0.0.0.0"); // no IPv6 on this host
  }
  for (const std::string& a : addresses) {
    const int fd = listen_on(a, opts_.port);
    if (fd < 0) {
      note("cannot listen on %s port %d: %s", a.c_str(), opts_.port, std::strerror(errno));
      return false;
    }
    listeners_.push_back(fd);
  }
  return true;
}

connection* server::find_conn(int id) {
  const auto it = conns_.find(id);
  return it == conns_.end() ? nullptr : &it->second;
}

bool server::has_sessions(int conn_id) const {
  for (const auto& [id, s] : table_.sessions) {
    if (s.conn == conn_id) {
      return true;
    }
  }
  return false;
}

void server::add_poll_fds(std::vector<pollfd>& fds) {
  polled_.clear();
  for (const int fd : listeners_) {
    fds.push_back({fd, POLLIN, 0});
    polled_.emplace_back('l', fd);
  }
  for (const auto& [id, c] : conns_) {
    short events = 0;
    // A connection whose reply waits on a daemon is not read past what one
    // request may hold: the rest waits in the kernel.
    if (c.waiting_on < 0 || c.in.size() < kMaxRequest) {
      events |= POLLIN;
    }
    if (!c.out.empty()) {
      events |= POLLOUT;
    }
    fds.push_back({c.fd, events, 0});
    polled_.emplace_back('c', id);
  }
  for (const auto& [id, offer] : offers_) {
    if (!offer->daemon_waiting()) {
      fds.push_back({offer->fd(), POLLIN, 0});
      polled_.emplace_back('o', id);
    }
  }
}

void server::serve(const std::vector<pollfd>& fds, size_t first, int64_t now) {
  const std::vector<std::pair<char, int>> polled = polled_;
  for (size_t i = 0; i < polled.size(); ++i) {
    const short ev = fds[first + i].revents;
    if (ev == 0) {
      continue;
    }
    const auto [what, id] = polled[i];
    if (what == 'l') {
      accept_from(id, now);
    } else if (what == 'o') {
      if (const auto it = offers_.find(id); it != offers_.end()) {
        it->second->accept_daemon();
      }
    } else if (connection* c = find_conn(id)) {
      if ((ev & POLLOUT) != 0) {
        send_out(*c);
      }
      if ((c = find_conn(id)) != nullptr && (ev & (POLLIN | POLLHUP | POLLERR)) != 0) {
        read_from(*c, now);
      }
    }
  }
}

void server::accept_from(int listener, int64_t now) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    // Blocking on purpose: a daemon may receive it for RTP over TCP and
    // expects an ordinary socket; every call here passes MSG_DONTWAIT.
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      return;
    }
    if (conns_.size() >= static_cast<size_t>(opts_.max_connections)) {
      static constexpr char kBusy[] = "RTSP/1.0 503 Service Unavailable\r\nServer: avtd-rtspd\r\n\r\n";
      send(fd, kBusy, sizeof kBusy - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
      close(fd);
      continue;
    }
    sockaddr_storage local{};
    socklen_t local_len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len);
    connection c;
    c.id = next_conn_++;
    c.fd = fd;
    c.peer = numeric(peer);
    const std::string here = numeric(local);
    c.v6 = here.find(':') != std::string::npos;
    c.device = opts_.device.empty() ? interface_of(here) : opts_.device;
    c.last_active = now;
    conns_.emplace(c.id, std::move(c));
  }
}

void server::read_from(connection& c, int64_t now) {
  char buf[kReadChunk];
  const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    drop_connection(c.id, now);
    return;
  }
  if (n < 0) {
    return;
  }
  c.in.append(buf, static_cast<size_t>(n));
  c.last_active = now;
  process_input(c, now);
}

void server::process_input(connection& c, int64_t now) {
  const int id = c.id;
  while (find_conn(id) != nullptr && c.waiting_on < 0 && !c.closing) {
    if (c.skip > 0) {
      const size_t drop = std::min(c.skip, c.in.size());
      c.in.erase(0, drop);
      c.skip -= drop;
      if (c.skip > 0) {
        return;
      }
    }
    if (c.in.empty()) {
      c.partial_since = 0;
      return;
    }
    if (c.in[0] == '$') {
      // The player's RTCP on an interleaved channel: a sign of life.
      if (c.in.size() < 4) {
        return;
      }
      c.skip = 4 + (static_cast<size_t>(static_cast<unsigned char>(c.in[2])) << 8 |
                    static_cast<unsigned char>(c.in[3]));
      if (session* s = table_.find(c.handed_to)) {
        keep_alive(*s, now);
      }
      continue;
    }
    rtsp::request r;
    const rtsp::parse_result p = rtsp::parse_request(c.in, kMaxRequest, r);
    if (p.status == rtsp::parse_status::incomplete) {
      if (c.partial_since == 0) {
        c.partial_since = now;
      }
      return;
    }
    c.partial_since = 0;
    if (p.status != rtsp::parse_status::complete) {
      // Nothing after a broken request can be trusted to start a new one.
      const int code = p.status == rtsp::parse_status::too_large ? 413
                       : p.status == rtsp::parse_status::bad_version ? 505 : 400;
      c.in.clear();
      queue_reply(c, rtsp::reply(code, -1, {{"Connection", "close"}}));
      c.closing = true;
      send_out(c);
      return;
    }
    c.in.erase(0, p.consumed);
    handle(c, r, now);
  }
}

void server::queue_reply(connection& c, std::string text) {
  if (c.handed_to >= 0) {
    // The daemon writes on this connection now: a reply could land in the
    // middle of one of its frames. It waits for the daemon's end.
    if (c.held.size() < kMaxHeld) {
      c.held.push_back(std::move(text));
    }
    return;
  }
  c.out += text;
  send_out(c);
}

void server::send_out(connection& c) {
  while (!c.out.empty() && c.handed_to < 0) {
    const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      break;
    }
    if (n <= 0) {
      c.closing = true;
      c.out.clear();
      break;
    }
    c.out.erase(0, static_cast<size_t>(n));
  }
  // A player that does not read its replies is not waited for.
  if (c.out.size() > kMaxOutput) {
    c.out.clear();
    c.closing = true;
  }
}

void server::drop_connection(int id, int64_t now) {
  connection* c = find_conn(id);
  if (c == nullptr) {
    return;
  }
  std::vector<int> owned;
  for (const auto& [sid, s] : table_.sessions) {
    if (s.conn == id) {
      owned.push_back(sid);
    }
  }
  for (const int sid : owned) {
    end_session(sid, now, "connection closed");
    if (session* s = table_.find(sid)) {
      s->conn = -1;
    }
  }
  close(c->fd);
  conns_.erase(id);
}

void server::tick(int64_t now) {
  std::vector<int> expired;
  for (const auto& [id, s] : table_.sessions) {
    // A playing unicast UDP daemon hears the player's RTCP itself and ends
    // on its own time-out; everything else is timed here.
    // A start in progress is not the player's delay.
    const bool daemon_judges = s.state == run_state::playing && s.transport.kind == rtsp::transport_kind::udp;
    if (!daemon_judges && s.state != run_state::stopping && s.state != run_state::starting &&
        now - s.last_seen > static_cast<int64_t>(opts_.session_timeout) * 1000) {
      expired.push_back(id);
    }
  }
  for (const int id : expired) {
    end_session(id, now, "no keep-alive within the session time-out");
  }

  for (auto& [id, c] : conns_) {
    if (!c.in.empty() && c.waiting_on < 0 && !c.closing) {
      process_input(c, now);
    }
  }

  std::vector<int> drop;
  for (auto& [id, c] : conns_) {
    if (c.partial_since != 0 && now - c.partial_since > static_cast<int64_t>(opts_.request_timeout) * 1000) {
      c.partial_since = 0;
      c.in.clear();
      if (c.handed_to >= 0) {
        drop.push_back(id);
        continue;
      }
      queue_reply(c, rtsp::reply(408, -1, {{"Connection", "close"}}));
      c.closing = true;
    }
    const bool idle = now - c.last_active > static_cast<int64_t>(opts_.session_timeout) * 1000;
    if ((c.closing && c.out.empty() && c.handed_to < 0) || (idle && !has_sessions(id))) {
      drop.push_back(id);
    }
  }
  for (const int id : drop) {
    drop_connection(id, now);
  }

  std::vector<int> ready;
  for (const auto& [sid, offer] : offers_) {
    if (offer->daemon_waiting()) {
      ready.push_back(sid);
    }
  }
  for (const int sid : ready) {
    if (session* s = table_.find(sid)) {
      hand_over(*s);
    }
  }
}

bool server::input_pending() const {
  for (const auto& [id, c] : conns_) {
    if (!c.in.empty() && c.waiting_on < 0 && !c.closing && c.skip == 0 && c.partial_since == 0) {
      return true;
    }
  }
  return false;
}

void server::shutdown() {
  for (const int fd : listeners_) {
    close(fd);
  }
  listeners_.clear();
  offers_.clear();
  for (auto& [id, c] : conns_) {
    close(c.fd);
  }
  conns_.clear();
}

} // namespace rtspd
