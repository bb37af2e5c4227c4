// Cutting one unit into packets as the stream thread does, with the checks
// every payload format shares: each packet carries at least one unit byte,
// stays inside the packet buffer and the MTU, names its own length in the
// interleave prefix, carries the marker only at the unit's end, and together
// the packets consume the unit exactly.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "stream/send_rtp.h"
#include "stream/rtp_header.h"
#include "stream/rtp_thread.h"

struct fuzz_packet {
  std::span<const uint8_t> payload_header;
  std::span<const uint8_t> payload;
  bool marker = false;
};

// IP and UDP or TCP headers that the MTU has to leave room for (the
// interleave prefix travels inside the TCP stream).
inline constexpr int kFuzzUdpOverhead = 28;
inline constexpr int kFuzzUdp6Overhead = 48;
inline constexpr int kFuzzTcpOverhead = 40;

// Calls on_packet for every packet of the unit. false when the headers left
// no room for a payload byte (the daemon then refuses to send), after
// checking that the room really was smaller than `min_room`.
template <typename OnPacket>
bool fuzz_packetise(rtp_thread& thread, std::span<const uint8_t> unit, int min_room, OnPacket&& on_packet) {
  static std::array<uint8_t, kPacketBufferSize> buffer;
  const bool tcp = thread.ns.protocol == kProtocolTcp;
  const int rtp_at = tcp ? kInterleavePrefixSize : 0;
  const packet_layout layout = layout_of(thread);
  packet_cursor cursor = unit_cursor(thread, layout, unit);
  // Every packet takes at least one byte: the loop ends within the unit's size.
  for (size_t packets = 0; !cursor.done(); ++packets) {
    FUZZ_EXPECT(packets <= unit.size());
    const packet_cursor before = cursor;
    planned_packet plan;
    if (!cursor.next(buffer, plan)) {
      FUZZ_EXPECT(layout.format.room < min_room);
      FUZZ_EXPECT(cursor.offset() == before.offset() && cursor.seq() == before.seq());
      return false;
    }
    // The payload is a slice of the unit that ends where the cursor now stands.
    FUZZ_EXPECT(!plan.payload.empty() && plan.payload.data() >= unit.data() + before.offset());
    FUZZ_EXPECT(plan.payload.data() + plan.payload.size() == unit.data() + cursor.offset());
    FUZZ_EXPECT(cursor.seq() == before.seq() + 1);
    const int packet = static_cast<int>(plan.size());
    const int head_len = static_cast<int>(plan.head.size());
    FUZZ_EXPECT(head_len >= rtp_at + kRtpHeaderSize && packet <= kPacketBufferSize);
    const bool ipv6 = thread.ns.addr.ai_family == AF_INET6;
    FUZZ_EXPECT(packet + (tcp ? kFuzzTcpOverhead : ipv6 ? kFuzzUdp6Overhead : kFuzzUdpOverhead) <= thread.ns.mtu);
    if (tcp) {
      FUZZ_EXPECT(buffer[0] == kInterleaveMark && buffer[1] == static_cast<uint8_t>(thread.interleaved));
      FUZZ_EXPECT((buffer[2] << 8 | buffer[3]) == packet - kInterleavePrefixSize);
    }
    const uint8_t* rtp = buffer.data() + rtp_at;
    FUZZ_EXPECT(rtp[0] == 0x80);
    // The wire's marker: the unit's end, unless a further slice of the
    // picture follows; for mu-law a talkspurt's first packet.
    const bool marker = thread.payload == kPayloadUlaw ? thread.rtp_marker != 0 && before.offset() == 0
                                                       : plan.marker && !thread.unit_continues_picture;
    FUZZ_EXPECT(((rtp[1] & 0x80) != 0) == marker);
    FUZZ_EXPECT((rtp[2] << 8 | rtp[3]) == static_cast<int>(before.seq() & 0xFFFF));
    FUZZ_EXPECT(plan.marker == cursor.done());
    on_packet(fuzz_packet{plan.head.subspan(static_cast<size_t>(rtp_at + kRtpHeaderSize)), plan.payload, plan.marker});
  }
  keep_position(thread, cursor);
  return true;
}

// The MTU and transport from two control bytes: every MTU an interface can
// have, TCP with one of the low channels, IPv4 or IPv6.
inline void fuzz_choose_transport(rtp_thread& thread, uint16_t mtu, uint8_t flags) {
  thread.ns.mtu = mtu;
  thread.ns.protocol = (flags & 0x80) != 0 ? kProtocolTcp : kProtocolUdp;
  thread.ns.addr.ai_family = (flags & 0x40) != 0 ? AF_INET6 : AF_INET;
  thread.interleaved = flags & 0x03;
  thread.rtp_version = 2;
}
