#include "sdp_text.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>

namespace sdp {
namespace {

void line(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void line(std::string& out, const char* fmt, ...) {
  char text[2048];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  if (n > 0) {
    out.append(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
  }
  out += "\r\n";
}

const char* media_of(int payload) {
  switch (payload) {
    case kPayloadUlaw: return "audio";
    case kPayloadMetadata: return "application";
    default: return "video";
  }
}

const char* codec_name(int payload) {
  switch (payload) {
    case kPayloadJpeg: return "JPEG/90000";
    case kPayloadH264: return "H264/90000";
    case kPayloadMpeg4: return "MP4V-ES/90000";
    case kPayloadUlaw: return "PCMU/8000";
    case kPayloadMetadata: return "vnd.onvif.metadata/90000";
    default: return "";
  }
}

} // namespace

bool is_ipv6(const std::string& host) { return host.find(':') != std::string::npos; }

bool is_multicast(const std::string& host) {
  if (is_ipv6(host)) {
    in6_addr a{};
    return inet_pton(AF_INET6, host.c_str(), &a) == 1 && a.s6_addr[0] == 0xFF;
  }
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) {
    return false;
  }
  const unsigned first = ntohl(a.s_addr) >> 24;
  return first >= 224 && first <= 239;
}

std::string build_sdp(const SdpParams& p) {
  const bool v6 = is_ipv6(p.host);
  const char* family = v6 ? "IP6" : "IP4";
  const std::string origin = p.origin.empty() ? (v6 ? "::" : "0.0.0.0") : p.origin;
  std::string out;
  line(out, "v=0");
  line(out, "o=- %ld 1 IN %s %s", p.session_id, is_ipv6(origin) ? "IP6" : "IP4", origin.c_str());
  line(out, "s=avtd %s stream", media_of(p.payload));
  // IPv4 multicast needs its TTL on the connection line; IPv6 has none.
  if (is_multicast(p.host) && !v6) {
    line(out, "c=IN %s %s/%u", family, p.host.c_str(), p.ttl);
  } else {
    line(out, "c=IN %s %s", family, p.host.c_str());
  }
  line(out, "t=0 0");
  if (!p.control.empty()) {
    line(out, "a=control:*");
  }
  if (p.tcp) {
    line(out, "m=%s %u RTP/AVP/TCP %d", media_of(p.payload), p.dstport, p.payload);
  } else {
    line(out, "m=%s %u RTP/AVP %d", media_of(p.payload), p.dstport, p.payload);
  }
  if (p.bitrate > 0) {
    line(out, "b=AS:%u", p.bitrate);
  }
  line(out, "a=rtpmap:%d %s", p.payload, codec_name(p.payload));
  switch (p.payload) {
    case kPayloadH264: {
      std::string fmtp = "packetization-mode=1";
      if (!p.profile_level_id.empty()) {
        fmtp += ";profile-level-id=" + p.profile_level_id;
      }
      if (!p.sprop.empty()) {
        fmtp += ";sprop-parameter-sets=" + p.sprop;
      }
      line(out, "a=fmtp:%d %s", p.payload, fmtp.c_str());
      break;
    }
    case kPayloadMpeg4:
      if (!p.mpeg4_config.empty()) {
        line(out, "a=fmtp:%d profile-level-id=%d;config=%s", p.payload, p.mpeg4_profile_level,
             p.mpeg4_config.c_str());
      } else {
        line(out, "a=fmtp:%d profile-level-id=%d", p.payload, p.mpeg4_profile_level);
      }
      break;
    case kPayloadJpeg:
      if (p.width > kJpegHeaderLimit || p.height > kJpegHeaderLimit) {
        line(out, "a=framesize:%d %u-%u", p.payload, p.width, p.height);
        line(out, "a=x-dimensions:%u,%u", p.width, p.height);
      }
      break;
    default: break;
  }
  if (p.framerate > 0 && p.payload != kPayloadUlaw && p.payload != kPayloadMetadata) {
    line(out, "a=framerate:%g", p.framerate);
  }
  if (p.tcp) {
    line(out, "a=interleaved:%d-%d", p.rtp_channel, p.rtcp_channel);
  }
  if (!p.control.empty()) {
    line(out, "a=control:%s", p.control.c_str());
  }
  return out;
}

} // namespace sdp
