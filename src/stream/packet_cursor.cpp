#include "stream/packet_cursor.h"

#include <algorithm>

namespace {

constexpr int kUdp4Overhead = 28;
constexpr int kUdp6Overhead = 48;
constexpr int kTcpOverhead = 40;

} // namespace

payload_cut cut_plain(std::span<const uint8_t> rest, int room) {
  payload_cut cut;
  const int size = static_cast<int>(rest.size());
  cut.take = size <= room ? size : std::max(room, 0);
  cut.last = size <= room;
  return cut;
}

payload_cut cut_payload(const packet_format& format, const jpeg_fields& jpeg, std::span<const uint8_t> rest,
                        size_t offset, h264_fu_state& h264, std::span<uint8_t> hdr) {
  if (format.payload == kPayloadH264) return cut_h264(rest, format.room, format.disable_stap, h264, hdr);
  if (format.payload == kPayloadJpeg && format.rfc2435) return cut_jpeg(rest, format.room, offset, jpeg, hdr);
  return cut_plain(rest, format.room);
}

int payload_room(int mtu, bool tcp, bool ipv6) {
  const int head = tcp ? kInterleavePrefixSize + kRtpHeaderSize : kRtpHeaderSize;
  const int by_mtu = mtu - (tcp ? kTcpOverhead : ipv6 ? kUdp6Overhead : kUdp4Overhead) - head;
  // An interface MTU above 1500 must not push a packet past the buffer.
  return std::min(by_mtu, kPacketBufferSize - head);
}

bool packet_cursor::next(packet_buffer head, planned_packet& out) {
  if (done()) return false;
  const packet_layout& l = *layout_;
  const bool tcp = l.channel >= 0;
  const int rtp_at = tcp ? kInterleavePrefixSize : 0;
  const int payload_header_at = rtp_at + kRtpHeaderSize;
  const std::span<const uint8_t> rest = unit_.subspan(offset_);
  h264_fu_state h264 = h264_;
  const payload_cut cut =
      cut_payload(l.format, l.jpeg, rest, offset_, h264, std::span<uint8_t>(head).subspan(payload_header_at));
  if (cut.take <= 0) return false;

  const int head_len = payload_header_at + cut.header_len;
  // Audio without silence suppression: the marker starts a talkspurt, it does not end a unit.
  const bool marker =
      l.format.payload == kPayloadUlaw ? l.rtp.marker != 0 && offset_ == 0 : cut.last && !l.rtp.continues_picture;
  write_rtp_header(head.subspan(rtp_at).first<kRtpHeaderSize>(), l.rtp, seq_, marker);
  if (tcp) {
    const auto framed = static_cast<uint16_t>(head_len - kInterleavePrefixSize + cut.take);
    write_interleave_prefix(head.first<kInterleavePrefixSize>(), l.channel, framed);
  }
  out.head = std::span<const uint8_t>(head).first(static_cast<size_t>(head_len));
  out.payload = rest.subspan(static_cast<size_t>(cut.skip), static_cast<size_t>(cut.take));
  out.marker = cut.last;
  offset_ += static_cast<size_t>(cut.skip + cut.take);
  ++seq_; // the one place where the sequence number moves
  h264_ = h264;
  return true;
}
