#include "toolkit/rtp.h"

namespace toolkit {

RtpError parse_rtp(Bytes bytes, RtpPacket& out) {
  out = RtpPacket{};
  if (bytes.size() < kRtpFixedHeader) {
    return RtpError::too_short;
  }
  out.size = bytes.size();
  out.version = bytes[0] >> 6;
  out.padding = (bytes[0] & 0x20) != 0;
  out.extension = (bytes[0] & 0x10) != 0;
  out.csrc_count = bytes[0] & 0x0F;
  out.marker = (bytes[1] & 0x80) != 0;
  out.payload_type = bytes[1] & 0x7F;
  out.seq = be16(bytes, 2);
  out.timestamp = be32(bytes, 4);
  out.ssrc = be32(bytes, 8);
  if (out.version != 2) {
    return RtpError::bad_version;
  }
  size_t header = kRtpFixedHeader + 4u * out.csrc_count;
  if (out.extension) {
    if (bytes.size() < header + 4) {
      return RtpError::header_overrun;
    }
    header += 4 + 4u * be16(bytes, header + 2);
  }
  if (header > bytes.size()) {
    return RtpError::header_overrun;
  }
  size_t end = bytes.size();
  if (out.padding) {
    const size_t pad = bytes[end - 1];
    if (pad == 0 || pad > end - header) {
      return RtpError::bad_padding;
    }
    out.padding_size = pad;
    end -= pad;
  }
  out.payload = bytes.subspan(header, end - header);
  return RtpError::none;
}

bool looks_like_rtcp(Bytes bytes) { return bytes.size() >= 2 && bytes[1] >= 192 && bytes[1] <= 223; }

bool parse_sender_report(Bytes part, SenderReport& out) {
  if (part.size() < 28) {
    return false;
  }
  out.report_count = part[0] & 0x1F;
  out.length_words = be16(part, 2);
  out.ssrc = be32(part, 4);
  out.ntp_seconds = be32(part, 8);
  out.ntp_fraction = be32(part, 12);
  out.rtp_timestamp = be32(part, 16);
  out.packet_count = be32(part, 20);
  out.octet_count = be32(part, 24);
  return true;
}

} // namespace toolkit
