#include "transport.h"

#include <charconv>
#include <vector>

#include "request.h"

namespace rtsp {
namespace {

constexpr int kMaxPort = 65534; // the RTCP port above must exist too
constexpr int kMaxChannel = 255;

std::vector<std::string_view> split(std::string_view s, char by) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t at = s.find(by);
    std::string_view part = s.substr(0, at);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
    out.push_back(part);
    if (at == std::string_view::npos) {
      return out;
    }
    s.remove_prefix(at + 1);
  }
}

bool number(std::string_view s, int lo, int hi, int& out) {
  if (s.empty() || s.size() > 5) {
    return false;
  }
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && out >= lo && out <= hi;
}

// "a" or "a-b" within lo..hi; b defaults to a + 1.
bool range(std::string_view s, int lo, int hi, int& a, int& b) {
  const size_t dash = s.find('-');
  if (!number(s.substr(0, dash), lo, hi, a)) {
    return false;
  }
  b = a + 1;
  return dash == std::string_view::npos || number(s.substr(dash + 1), lo, hi + 1, b);
}

std::optional<transport_spec> one_alternative(std::string_view text) {
  const std::vector<std::string_view> params = split(text, ';');
  const std::string_view profile = params.front();
  transport_spec chosen;
  bool tcp = false;
  if (iequals(profile, "RTP/AVP/TCP")) {
    tcp = true;
  } else if (!iequals(profile, "RTP/AVP") && !iequals(profile, "RTP/AVP/UDP")) {
    return std::nullopt;
  }
  bool multicast = false;
  bool have_ports = false;
  for (size_t i = 1; i < params.size(); ++i) {
    const std::string_view p = params[i];
    const size_t eq = p.find('=');
    const std::string_view name = p.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : p.substr(eq + 1);
    int a = 0;
    int b = 0;
    if (iequals(name, "multicast")) {
      multicast = true;
    } else if (iequals(name, "unicast")) {
      multicast = false;
    } else if (iequals(name, "client_port")) {
      // The daemon sends RTCP to the port above the RTP port.
      if (!range(value, 1, kMaxPort, a, b) || b != a + 1) {
        return std::nullopt;
      }
      chosen.client_rtp_port = a;
      have_ports = true;
    } else if (iequals(name, "interleaved")) {
      if (!range(value, 0, kMaxChannel, a, b) || b > kMaxChannel || a == b) {
        return std::nullopt;
      }
      chosen.rtp_channel = a;
      chosen.rtcp_channel = b;
    } else if (iequals(name, "mode")) {
      const std::string_view mode = value.substr(!value.empty() && value.front() == '"' ? 1 : 0);
      if (!iequals(mode.substr(0, 4), "PLAY")) {
        return std::nullopt;
      }
    }
    // Other parameters (destination, ttl, port, ssrc, ...) are the
    // server's to choose: the stream goes to the player's own address.
  }
  if (tcp) {
    chosen.kind = transport_kind::tcp;
  } else if (multicast) {
    chosen.kind = transport_kind::multicast;
  } else if (have_ports) {
    chosen.kind = transport_kind::udp;
  } else {
    return std::nullopt;
  }
  return chosen;
}

} // namespace

std::optional<transport_spec> choose_transport(std::string_view header) {
  for (const std::string_view alternative : split(header, ',')) {
    if (auto chosen = one_alternative(alternative)) {
      return chosen;
    }
  }
  return std::nullopt;
}

std::string transport_header(const transport_spec& chosen, const transport_reply& with) {
  switch (chosen.kind) {
    case transport_kind::udp:
      return "RTP/AVP;unicast;client_port=" + std::to_string(chosen.client_rtp_port) + "-" +
             std::to_string(chosen.client_rtp_port + 1) + ";server_port=" + std::to_string(with.server_rtp_port) + "-" +
             std::to_string(with.server_rtp_port + 1);
    case transport_kind::tcp:
      return "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(chosen.rtp_channel) + "-" +
             std::to_string(chosen.rtcp_channel);
    case transport_kind::multicast:
      return "RTP/AVP;multicast;destination=" + with.group + ";port=" + std::to_string(with.group_port) + "-" +
             std::to_string(with.group_port + 1) + ";ttl=" + std::to_string(with.ttl);
  }
  return {};
}

} // namespace rtsp
