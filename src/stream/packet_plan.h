// One packet of a unit: its head (interleave prefix, RTP header, payload
// header) written into the packet buffer, and the slice of the unit that
// follows the head on the wire. Sending is left to the caller.
#pragma once

#include <cstdint>
#include <span>

#include "stream/payload_format.h"
#include "stream/send_rtp.h"

struct rtp_thread;

struct packet_plan {
  int head_len = 0;    // bytes at the start of the packet buffer
  int skip = 0;        // unit bytes consumed before the payload
  int payload_len = 0; // unit bytes that follow the head
  bool marker = false; // the packet carries the unit's last byte
};

using packet_buffer = std::span<uint8_t, kPacketBufferSize>;

// Room for payload header and payload: the IP datagram stays within the MTU
// (28 bytes of IPv4/UDP, 40 of IPv4/TCP) and the packet within the buffer.
int payload_room(int mtu, bool tcp);

// Plans the next packet of the remaining bytes rest (non-empty). False when
// the headers leave no room for a single payload byte.
bool plan_packet(const rtp_thread& thread, std::span<const uint8_t> rest, h264_fu_state& h264, packet_buffer buf,
                 packet_plan& plan);
