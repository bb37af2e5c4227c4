#include "stream/send_rtp.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>

#include "net/transport.h"
#include "stream/evman_notice.h"
#include "stream/interleave.h"
#include "stream/rtp_thread.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "rtp";

void track_network_state(long sent, int err) {
  if (sent < 0) {
    if (!is_network_down(err) || net_error_notified.load() != 0) return;
    errno = err;
    LOG_UNIT(LOG_ERR, "sendto[%d:%m]", err);
    if (notify_evman(1) == 0) {
      LOG_UNIT(LOG_INFO, "notify network error to evman");
    } else {
      LOG_UNIT(LOG_INFO, "notify network error failed");
    }
  } else if (net_error_notified.load() == 1) {
    if (notify_evman(0) == 0) {
      LOG_UNIT(LOG_INFO, "notify network recover to evman");
    } else {
      LOG_UNIT(LOG_INFO, "notify network recover failed");
    }
  }
}

packet_layout layout_of(const rtp_thread& t) {
  const bool tcp = t.ns.protocol == kProtocolTcp;
  packet_layout l;
  l.format.room = payload_room(t.ns.mtu, tcp, t.ns.addr.ai_family == AF_INET6);
  l.format.payload = t.payload;
  l.format.disable_stap = t.disable_stap;
  l.format.rfc2435 = t.enable_rfc2435;
  l.channel = tcp ? (t.interleaved & 0xFF) : -1;
  l.rtp = {t.rtp_version,   t.rtp_padding, t.rtp_payload_type, t.rtp_timestamp,
           t.rtp_ssrc,      t.rtp_marker,  t.unit_continues_picture};
  l.jpeg.type_specific = t.jpeg_type_specific;
  l.jpeg.type = t.jpeg_type;
  l.jpeg.q = t.jpeg_q;
  l.jpeg.width = t.jpeg_width;
  l.jpeg.height = t.jpeg_height;
  l.jpeg.restart_interval = t.jpeg_restart_interval;
  l.jpeg.qt_mbz = t.jpeg_qt_mbz;
  l.jpeg.qt_precision = t.jpeg_qt_precision;
  l.jpeg.qt = std::span<const uint8_t>(t.jpeg_qt_data, t.jpeg_qt_length);
  return l;
}

packet_cursor unit_cursor(const rtp_thread& t, const packet_layout& layout, std::span<const uint8_t> unit,
                          size_t offset) {
  return packet_cursor(layout, unit, offset, t.rtp_seq, t.h264_fu);
}

void keep_position(rtp_thread& t, const packet_cursor& cursor) {
  t.rtp_seq = cursor.seq();
  t.h264_fu = cursor.h264();
}

int send_packet(rtp_thread& t, packet_cursor& cursor) {
  // Planned on a copy: a failed send takes nothing off the unit, so a retry
  // rebuilds the very same packet (start code and NAL header included).
  packet_cursor ahead = cursor;
  planned_packet p;
  uint8_t head[kPacketBufferSize];
  if (!ahead.next(head, p)) {
    errno = EMSGSIZE;
    return -1;
  }
  // The payload goes straight from the unit to the socket: no copy.
  const std::array<iovec, 2> parts{{
      {const_cast<uint8_t*>(p.head.data()), p.head.size()},
      {const_cast<uint8_t*>(p.payload.data()), p.payload.size()},
  }};

  ssize_t sent;
  if (t.ns.protocol == kProtocolTcp) {
    sent = interleave_send(t.ns.sock, parts, kInterleaveSendTimeoutMs);
    if (sent < 0) {
      if (errno != EBADF) LOG_UNIT(LOG_ERR, "safe_send error(%m)");
      return -1;
    }
    if (sent == 0) return 0;
  } else {
    sent = send_datagram(t.ns, parts);
    const int err = errno;
    track_network_state(sent, err);
    if (sent < 0) {
      errno = err;
      return -1;
    }
  }
  cursor = ahead;
  return static_cast<int>(sent);
}

int send_rtp(rtp_thread* thread, const unsigned char* unit, int* offset, int* remaining) {
  if (*remaining <= 0) return 0;
  const packet_layout layout = layout_of(*thread);
  const size_t at = static_cast<size_t>(*offset);
  packet_cursor cursor = unit_cursor(*thread, layout, {unit, at + static_cast<size_t>(*remaining)}, at);
  const int sent = send_packet(*thread, cursor);
  if (sent > 0) {
    keep_position(*thread, cursor);
    *remaining -= static_cast<int>(cursor.offset() - at);
    *offset = static_cast<int>(cursor.offset());
  }
  return sent;
}
