// The session description of one daemon stream.
#pragma once

#include <cstdint>
#include <string>

namespace sdp {

inline constexpr int kPayloadJpeg = 26;
inline constexpr int kPayloadH264 = 96;
inline constexpr int kPayloadMpeg4 = 120;
inline constexpr int kPayloadUlaw = 0;
inline constexpr int kPayloadMetadata = 107;

// JPEG pictures wider or taller than this carry 0 in the RTP header.
inline constexpr unsigned kJpegHeaderLimit = 2040;

struct SdpParams {
  int payload = kPayloadH264;
  std::string host;        // destination address
  unsigned dstport = 0;
  unsigned ttl = 0;
  bool tcp = false;        // rtp_tcp: interleaved on a TCP connection
  int rtp_channel = 0;     // '$' channels with tcp
  int rtcp_channel = 1;
  std::string origin;      // address of the sending device, empty: unknown
  long session_id = 0;
  unsigned bitrate = 0;    // kbit/s, 0: not stated
  double framerate = 0;    // frames per second, 0: not stated
  // H.264 (empty when unknown: receivers then wait for the in-band sets)
  std::string profile_level_id;
  std::string sprop;
  // MPEG-4
  std::string mpeg4_config; // hex
  int mpeg4_profile_level = 1;
  // JPEG
  unsigned width = 0;
  unsigned height = 0;
  // RTSP: the media's control URL (the session's is "*"); empty: none.
  std::string control;
};

bool is_ipv6(const std::string& host);
bool is_multicast(const std::string& host);

std::string build_sdp(const SdpParams& p);

} // namespace sdp
