// Reading RTP and RTCP packets field by field at their offsets: the one
// parser of the probe, the tests and the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace toolkit {

using Bytes = std::span<const uint8_t>;

inline uint16_t be16(Bytes b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }
inline uint32_t be32(Bytes b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
         static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

inline constexpr size_t kRtpFixedHeader = 12;

struct RtpPacket {
  uint8_t version = 0;
  bool padding = false;
  bool extension = false;
  uint8_t csrc_count = 0;
  bool marker = false;
  uint8_t payload_type = 0;
  uint16_t seq = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  size_t size = 0;         // whole RTP packet
  size_t padding_size = 0; // bytes of padding at the end, count byte included
  Bytes payload;           // after header, CSRC list and extension; padding removed
};

enum class RtpError { none, too_short, bad_version, header_overrun, bad_padding };

RtpError parse_rtp(Bytes bytes, RtpPacket& out);

// A datagram or interleaved frame is RTCP when its second byte is an RTCP
// packet type (200..204 and the rest of the 192..223 range); RTP payload
// types with the marker bit never fall there for the payloads we carry.
bool looks_like_rtcp(Bytes bytes);

inline constexpr uint8_t kRtcpSenderReport = 200;
inline constexpr uint32_t kNtpUnixOffset = 2208988800u;

struct SenderReport {
  uint8_t report_count = 0;
  uint16_t length_words = 0;
  uint32_t ssrc = 0;
  uint32_t ntp_seconds = 0;
  uint32_t ntp_fraction = 0;
  uint32_t rtp_timestamp = 0;
  uint32_t packet_count = 0;
  uint32_t octet_count = 0;
};

// One packet of an RTCP compound: its type and its bytes (header included).
struct RtcpPart {
  uint8_t type = 0;
  uint8_t count = 0;
  Bytes bytes;
};

// Splits a compound packet; false at the first part whose header is bad
// (version not 2 or length past the end), with `error` describing it.
template <typename Fn>
bool for_each_rtcp_part(Bytes bytes, Fn&& fn, const char** error);

// Reads a sender report part; false when it is shorter than its fields.
bool parse_sender_report(Bytes part, SenderReport& out);

template <typename Fn>
bool for_each_rtcp_part(Bytes bytes, Fn&& fn, const char** error) {
  size_t at = 0;
  if (bytes.size() < 4) {
    *error = "shorter than an RTCP header";
    return false;
  }
  while (at < bytes.size()) {
    if (bytes.size() - at < 4) {
      *error = "trailing bytes after the last RTCP packet";
      return false;
    }
    if (bytes[at] >> 6 != 2) {
      *error = "RTCP version is not 2";
      return false;
    }
    const size_t length = (static_cast<size_t>(be16(bytes, at + 2)) + 1) * 4;
    if (length > bytes.size() - at) {
      *error = "RTCP length field runs past the packet";
      return false;
    }
    fn(RtcpPart{bytes[at + 1], static_cast<uint8_t>(bytes[at] & 0x1F), bytes.subspan(at, length)});
    at += length;
  }
  return true;
}

} // namespace toolkit
