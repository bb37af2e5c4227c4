#include "stream/rtp_header.h"

void write_rtp_header(std::span<uint8_t, kRtpHeaderSize> out, const rtp_fields& rtp, uint32_t seq, bool marker) {
  // Extension bit and CSRC count always go out as 0: we never add either.
  out[0] = static_cast<uint8_t>(((rtp.version & 0x03) << 6) | ((rtp.padding & 0x01) << 5));
  out[1] = static_cast<uint8_t>((marker ? 0x80 : 0x00) | (rtp.payload_type & 0x7F));
  put_be16(&out[2], seq & 0xFFFF);
  put_be32(&out[4], rtp.timestamp);
  put_be32(&out[8], rtp.ssrc);
}

void write_interleave_prefix(std::span<uint8_t, kInterleavePrefixSize> out, int channel, uint16_t length) {
  out[0] = kInterleaveMark;
  out[1] = static_cast<uint8_t>(channel);
  put_be16(&out[2], length);
}
