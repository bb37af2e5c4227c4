#include "stream/packet_plan.h"

#include <algorithm>

#include "stream/rtp_header.h"
#include "stream/rtp_thread.h"

namespace {

constexpr int kUdpIpOverhead = 28;
constexpr int kTcpIpOverhead = 40;

jpeg_fields jpeg_fields_of(const rtp_thread& t) {
  jpeg_fields f;
  f.type_specific = t.jpeg_type_specific;
  f.offset = t.jpeg_offset;
  f.type = t.jpeg_type;
  f.q = t.jpeg_q;
  f.width = t.jpeg_width;
  f.height = t.jpeg_height;
  f.qt_mbz = t.jpeg_qt_mbz;
  f.qt_precision = t.jpeg_qt_precision;
  f.qt = std::span<const uint8_t>(t.jpeg_qt_data, t.jpeg_qt_length);
  return f;
}

} // namespace

int payload_room(int mtu, bool tcp) {
  const int head = tcp ? kInterleavePrefixSize + kRtpHeaderSize : kRtpHeaderSize;
  const int by_mtu = mtu - (tcp ? kTcpIpOverhead : kUdpIpOverhead) - head;
  // An interface MTU above 1500 must not push a packet past the buffer.
  return std::min(by_mtu, kPacketBufferSize - head);
}

bool plan_packet(const rtp_thread& thread, std::span<const uint8_t> rest, h264_fu_state& h264, packet_buffer buf,
                 packet_plan& plan) {
  const bool tcp = thread.ns.protocol == kProtocolTcp;
  const int rtp_at = tcp ? kInterleavePrefixSize : 0;
  const int payload_header_at = rtp_at + kRtpHeaderSize;
  const int room = payload_room(thread.ns.mtu, tcp);
  const std::span<uint8_t> payload_header = buf.subspan(payload_header_at);

  payload_cut cut;
  if (thread.payload == kPayloadH264) {
    cut = cut_h264(rest, room, thread.disable_stap, h264, payload_header);
  } else if (thread.payload == kPayloadJpeg && thread.enable_rfc2435) {
    cut = cut_jpeg(rest, room, jpeg_fields_of(thread), payload_header);
  } else {
    cut = cut_plain(rest, room);
  }
  if (cut.take <= 0) return false;

  plan.head_len = payload_header_at + cut.header_len;
  plan.skip = cut.skip;
  plan.payload_len = cut.take;
  plan.marker = cut.last;
  write_rtp_header(buf.subspan(rtp_at).first<kRtpHeaderSize>(), thread, plan.marker);
  if (tcp) {
    const auto framed = static_cast<uint16_t>(plan.head_len - kInterleavePrefixSize + plan.payload_len);
    write_interleave_prefix(buf.first<kInterleavePrefixSize>(), thread.interleaved, framed);
  }
  return true;
}
