// The RTP fixed header and the '$' prefix of interleaved TCP frames, written
// field by field in network byte order.
#pragma once

#include <cstdint>
#include <span>

inline constexpr int kRtpHeaderSize = 12;
inline constexpr int kInterleavePrefixSize = 4;
inline constexpr uint8_t kInterleaveMark = 0x24; // '$'

// Size of the fixed packet buffer, '$' prefix included.
inline constexpr int kPacketBufferSize = 1500;

// The RTP header fields that stay the same for every packet of a unit.
struct rtp_fields {
  uint8_t version = 2;
  uint8_t padding = 0;
  uint8_t payload_type = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  // The source's marker, for mu-law: set on a talkspurt's first packet only.
  // The other formats mark the packet that ends the unit ...
  uint8_t marker = 0;
  // ... unless the source knows that the next unit continues the picture
  // (H.264: a further slice of it), which then ends it.
  bool continues_picture = false;
};

// Writes the 12-byte header of the packet with sequence number seq (its low
// 16 bits go on the wire).
void write_rtp_header(std::span<uint8_t, kRtpHeaderSize> out, const rtp_fields& rtp, uint32_t seq, bool marker);

// Writes '$', the channel's low byte and the big-endian length of what follows.
void write_interleave_prefix(std::span<uint8_t, kInterleavePrefixSize> out, int channel, uint16_t length);

inline void put_be16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void put_be24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}
inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
