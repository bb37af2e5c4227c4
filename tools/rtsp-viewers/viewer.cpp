#include "viewer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "toolkit/rtp.h"

namespace viewers {
namespace {

// host and port of rtsp://host[:port]/..., host without brackets.
bool split_url(const std::string& url, std::string& host, std::string& port) {
  if (url.rfind("rtsp://", 0) != 0) {
    return false;
  }
  std::string rest = url.substr(7);
  rest = rest.substr(0, rest.find('/'));
  port = "554";
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) {
      return false;
    }
    host = rest.substr(1, close - 1);
    if (close + 1 < rest.size() && rest[close + 1] == ':') {
      port = rest.substr(close + 2);
    }
  } else {
    const size_t colon = rest.find(':');
    host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port = rest.substr(colon + 1);
    }
  }
  return !host.empty();
}

// The value of a header in a reply head ("Session", "Transport"), or "".
std::string header_of(const std::string& head, const std::string& name) {
  size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string::npos) {
    at += 2;
    if (strncasecmp(head.c_str() + at, name.c_str(), name.size()) == 0 && head[at + name.size()] == ':') {
      size_t v = at + name.size() + 1;
      while (v < head.size() && head[v] == ' ') ++v;
      return head.substr(v, head.find("\r\n", v) - v);
    }
  }
  return {};
}

// A parameter of a Transport header ("server_port" -> "50000-50001").
std::string param_of(const std::string& transport, const std::string& name) {
  const size_t at = transport.find(";" + name + "=");
  if (at == std::string::npos) {
    return {};
  }
  const size_t v = at + name.size() + 2;
  return transport.substr(v, transport.find(';', v) - v);
}

} // namespace

viewer::viewer(int index, viewer_config config) : index_(index), config_(std::move(config)) {}

viewer::~viewer() {
  for (const int fd : {tcp_, rtp_, rtcp_}) {
    if (fd >= 0) close(fd);
  }
}

bool viewer::connect_now() {
  std::string port;
  if (!split_url(config_.url, server_host_, port)) {
    fail("bad url");
    return false;
  }
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(server_host_.c_str(), port.c_str(), &hints, &found) != 0) {
    fail("bad address");
    return false;
  }
  tcp_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool ok = tcp_ >= 0 && connect(tcp_, found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (!ok) {
    fail(std::string("connect: ") + std::strerror(errno));
    return false;
  }
  fcntl(tcp_, F_SETFL, fcntl(tcp_, F_GETFL) | O_NONBLOCK);
  request("DESCRIBE", config_.url, "Accept: application/sdp\r\n");
  return true;
}

void viewer::request(const std::string& method, const std::string& url, const std::string& extra) {
  std::string text = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) + "\r\n" + extra;
  if (!session_.empty()) {
    text += "Session: " + session_ + "\r\n";
  }
  text += "\r\n";
  // Requests are small: they fit the socket's buffer whole.
  if (send(tcp_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
    fail(method + " not sent");
  }
}

void viewer::fail(const std::string& why) {
  if (error_.empty()) {
    error_ = why;
  }
  state_ = state::failed;
}

void viewer::open_udp(int port, const std::string& group) {
  const bool v6 = (group.empty() ? server_host_ : group).find(':') != std::string::npos;
  for (int k = 0; k < (group.empty() ? 2 : 1); ++k) {
    const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage a{};
    socklen_t len = 0;
    if (v6) {
      auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
      in6.sin6_family = AF_INET6;
      in6.sin6_port = htons(static_cast<uint16_t>(port + k));
      len = sizeof in6;
    } else {
      auto& in = reinterpret_cast<sockaddr_in&>(a);
      in.sin_family = AF_INET;
      in.sin_port = htons(static_cast<uint16_t>(port + k));
      len = sizeof in;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) {
      fail("bind " + std::to_string(port + k) + ": " + std::strerror(errno));
    }
    if (!group.empty() && v6) {
      ipv6_mreq m{};
      inet_pton(AF_INET6, group.c_str(), &m.ipv6mr_multiaddr);
      setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &m, sizeof m);
    } else if (!group.empty()) {
      ip_mreq m{};
      inet_pton(AF_INET, group.c_str(), &m.imr_multiaddr);
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
    }
    (k == 0 ? rtp_ : rtcp_) = fd;
  }
}

void viewer::add_poll_fds(std::vector<pollfd>& fds) {
  for (const int fd : {tcp_, rtp_}) {
    if (fd >= 0 && !done()) {
      fds.push_back({fd, POLLIN, 0});
    }
  }
}

void viewer::serve(const std::vector<pollfd>& fds, int64_t) {
  for (const pollfd& p : fds) {
    if (p.revents == 0 || done()) {
      continue;
    }
    if (p.fd == rtp_) {
      uint8_t buf[2048];
      for (ssize_t n; (n = recv(rtp_, buf, sizeof buf, 0)) > 0;) {
        take_rtp(buf, static_cast<size_t>(n));
      }
    } else if (p.fd == tcp_) {
      char buf[16384];
      const ssize_t n = recv(tcp_, buf, sizeof buf, 0);
      if (n == 0) {
        fail("connection closed");
        return;
      }
      if (n > 0) {
        in_.append(buf, static_cast<size_t>(n));
        take_stream();
      }
    }
  }
}

void viewer::take_stream() {
  while (!in_.empty() && !done()) {
    if (in_[0] == '$') {
      if (in_.size() < 4) return;
      const size_t len = toolkit::be16(toolkit::Bytes(reinterpret_cast<const uint8_t*>(in_.data()), 4), 2);
      if (in_.size() < 4 + len) return;
      if (in_[1] == 0) take_rtp(reinterpret_cast<const uint8_t*>(in_.data()) + 4, len);
      in_.erase(0, 4 + len);
      continue;
    }
    if (in_.compare(0, std::min<size_t>(in_.size(), 9), std::string("RTSP/1.0 ").substr(0, std::min<size_t>(in_.size(), 9))) != 0) {
      fail("stream out of step");
      return;
    }
    const size_t end = in_.find("\r\n\r\n");
    if (end == std::string::npos) return;
    const std::string head = in_.substr(0, end + 2);
    const size_t body = std::strtoul(header_of(head, "Content-Length").c_str(), nullptr, 10);
    if (in_.size() < end + 4 + body) return;
    const std::string text = head + "\r\n" + in_.substr(end + 4, body);
    in_.erase(0, end + 4 + body);
    on_reply(std::atoi(head.c_str() + 9), text);
  }
}

void viewer::on_reply(int code, const std::string& text) {
  const int cseq = std::atoi(header_of(text, "CSeq").c_str());
  if (state_ == state::playing || (state_ == state::leaving && cseq != cseq_)) {
    return; // keep-alive answers
  }
  if (code != 200) {
    fail("reply " + std::to_string(code) + " in step " + std::to_string(static_cast<int>(state_)));
    return;
  }
  switch (state_) {
    case state::describing: {
      const size_t at = text.find("\na=control:rtsp://");
      control_ = at == std::string::npos ? config_.url + "/track1"
                                         : text.substr(at + 11, text.find_first_of("\r\n", at + 11) - at - 11);
      std::string t;
      if (config_.how == transport::udp) {
        open_udp(config_.client_port, "");
        t = "RTP/AVP;unicast;client_port=" + std::to_string(config_.client_port) + "-" +
            std::to_string(config_.client_port + 1);
      } else if (config_.how == transport::tcp) {
        t = "RTP/AVP/TCP;unicast;interleaved=0-1";
      } else {
        t = "RTP/AVP;multicast";
      }
      state_ = state::setting_up;
      request("SETUP", control_, "Transport: " + t + "\r\n");
      return;
    }
    case state::setting_up: {
      const std::string session = header_of(text, "Session");
      session_ = session.substr(0, session.find(';'));
      const std::string t = header_of(text, "Transport");
      server_rtcp_port_ = std::atoi(param_of(t, "server_port").c_str()) + 1;
      if (config_.how == transport::multicast) {
        open_udp(std::atoi(param_of(t, "port").c_str()), param_of(t, "destination"));
      }
      state_ = state::starting;
      request("PLAY", config_.url, "Range: npt=0.000-\r\n");
      return;
    }
    case state::starting:
      state_ = state::playing;
      std::printf("viewer %d: playing session %s\n", index_, session_.c_str());
      std::fflush(stdout);
      return;
    case state::leaving:
      state_ = state::done;
      return;
    default:
      return;
  }
}

void viewer::take_rtp(const uint8_t* d, size_t len) {
  toolkit::RtpPacket p;
  const toolkit::Bytes bytes(d, len);
  if (toolkit::looks_like_rtcp(bytes) || toolkit::parse_rtp(bytes, p) != toolkit::RtpError::none) {
    return; // RTCP or stray datagrams
  }
  const int seq = p.seq;
  const uint32_t ssrc = p.ssrc;
  if (ssrcs_ == 0 || ssrc != ssrc_) {
    ++ssrcs_;
    ssrc_ = ssrc;
    last_seq_ = -1;
  }
  if (last_seq_ >= 0) {
    const int gap = (seq - static_cast<int>(last_seq_) - 1) & 0xFFFF;
    if (gap < 0x8000) lost_ += static_cast<uint64_t>(gap);
  }
  last_seq_ = seq;
  ++packets_;
}

void viewer::tick(int64_t now) {
  if (state_ != state::playing) {
    return;
  }
  if (next_keepalive_ == 0) {
    next_keepalive_ = now + config_.keepalive_ms;
  }
  if (now < next_keepalive_) {
    return;
  }
  next_keepalive_ = now + config_.keepalive_ms;
  request("GET_PARAMETER", config_.url, "");
  if (config_.how == transport::udp && rtcp_ >= 0) {
    // An empty receiver report from our RTCP port, as players send.
    const uint8_t rr[8] = {0x80, 201, 0, 1, 0, 0, 0, static_cast<uint8_t>(index_ + 1)};
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* to = nullptr;
    if (getaddrinfo(server_host_.c_str(), std::to_string(server_rtcp_port_).c_str(), &hints, &to) == 0) {
      sendto(rtcp_, rr, sizeof rr, 0, to->ai_addr, to->ai_addrlen);
      freeaddrinfo(to);
    }
  }
}

void viewer::leave() {
  if (done()) {
    return;
  }
  if (!config_.teardown || session_.empty()) {
    state_ = state::done;
    return;
  }
  state_ = state::leaving;
  request("TEARDOWN", config_.url, "");
}

std::string viewer::report() const {
  char text[512];
  std::snprintf(text, sizeof text,
                "{\"viewer\":%d,\"session\":\"%s\",\"packets\":%llu,\"lost\":%llu,\"ssrcs\":%d,\"result\":\"%s\"}",
                index_, session_.c_str(), static_cast<unsigned long long>(packets_),
                static_cast<unsigned long long>(lost_), ssrcs_, error_.empty() ? "ok" : error_.c_str());
  return text;
}

} // namespace viewers
