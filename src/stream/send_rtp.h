// Sending a unit's packets one at a time, and the network-state notice to
// the event manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "stream/packet_cursor.h"

struct rtp_thread;

// Sends one packet carrying bytes from unit + *offset on; see the stream
// thread for the retry rules. > 0: packet size as sent (prefix and headers
// included), *offset/*remaining advanced and the record's sequence number
// moved past the packet; 0: nothing sent; < 0: failure, errno set.
int send_rtp(rtp_thread* thread, const unsigned char* unit, int* offset, int* remaining);

// The record's stream and current unit as the packetiser sees them.
packet_layout layout_of(const rtp_thread& thread);

// A cursor over unit from offset on that continues the record's sequence
// number and H.264 state; keep_position takes them back once packets are out.
packet_cursor unit_cursor(const rtp_thread& thread, const packet_layout& layout, std::span<const uint8_t> unit,
                          size_t offset = 0);
void keep_position(rtp_thread& thread, const packet_cursor& cursor);

// Sends the cursor's next packet in one call and moves the cursor past it
// when it went out. Results as send_rtp.
int send_packet(rtp_thread& thread, packet_cursor& cursor);

int notify_evman(int state);

// After a UDP send (sent < 0: failed with err): tells the event manager once
// when the network went away and once when it came back; a notice it did
// not take is tried again on the next send.
void track_network_state(long sent, int err);
