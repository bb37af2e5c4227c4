// The Transport header of a SETUP: the first alternative the daemon can
// serve, and the header of the reply.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace rtsp {

enum class transport_kind { udp, tcp, multicast };

struct transport_spec {
  transport_kind kind = transport_kind::udp;
  int client_rtp_port = 0; // udp: the player's RTP port (RTCP one above)
  int rtp_channel = 0;     // tcp: '$' channels
  int rtcp_channel = 1;
};

// Nothing when no alternative is one of: RTP/AVP[/UDP];unicast;client_port=a[-a+1],
// RTP/AVP/TCP[;interleaved=a[-b]], RTP/AVP[/UDP];multicast.
std::optional<transport_spec> choose_transport(std::string_view header);

struct transport_reply {
  int server_rtp_port = 0;  // udp
  std::string group;        // multicast
  int group_port = 0;
  int ttl = 0;
};

std::string transport_header(const transport_spec& chosen, const transport_reply& with);

} // namespace rtsp
