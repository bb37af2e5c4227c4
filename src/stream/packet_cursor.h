// The packets of one unit, one at a time: the cursor owns the position in
// the unit (which is also the JPEG fragment offset), the sequence number and
// the H.264 fragmentation state, and plans each packet whole (head written
// once, payload a slice of the unit) before it moves past it. It is a value:
// a sender that may fail plans on a copy and keeps the copy once the packets
// are out. The layout and the unit must outlive the cursor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "stream/payload_format.h"
#include "stream/rtp_header.h"

// Everything a unit's packets are built from.
struct packet_layout {
  packet_format format;
  int channel = -1; // interleave channel over TCP; -1 over UDP (no prefix)
  rtp_fields rtp;
  jpeg_fields jpeg;
};

struct planned_packet {
  std::span<const uint8_t> head;    // interleave prefix, RTP header, payload header
  std::span<const uint8_t> payload; // a slice of the unit
  bool marker = false;              // the packet carries the unit's last byte
  size_t size() const { return head.size() + payload.size(); }
};

using packet_buffer = std::span<uint8_t, kPacketBufferSize>;

// Room after the RTP header: the IP datagram stays within the MTU (IPv4 and
// UDP take 28 bytes, IPv6 and UDP 48, IPv4 and TCP 40) and the packet within
// the buffer.
int payload_room(int mtu, bool tcp, bool ipv6);

class packet_cursor {
 public:
  packet_cursor(const packet_layout& layout, std::span<const uint8_t> unit, size_t offset, uint32_t seq,
                h264_fu_state h264)
      : layout_(&layout), unit_(unit), offset_(offset), seq_(seq), h264_(h264) {}

  bool done() const { return offset_ >= unit_.size(); }
  size_t offset() const { return offset_; }
  uint32_t seq() const { return seq_; }
  const h264_fu_state& h264() const { return h264_; }

  // Plans the next packet, its head written into `head`, and moves past it.
  // False, with nothing moved, when the headers leave no room for a payload
  // byte or the unit is done.
  bool next(packet_buffer head, planned_packet& out);

 private:
  const packet_layout* layout_;
  std::span<const uint8_t> unit_;
  size_t offset_;
  uint32_t seq_;
  h264_fu_state h264_;
};
