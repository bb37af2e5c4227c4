// Building and sending one RTP packet of a unit, and the network-state
// notice to the event manager.
#pragma once

#include <cstdint>

struct rtp_thread;

// Sends one packet carrying bytes from unit + *offset on; see the stream
// thread for the retry rules. > 0: packet size as sent (prefix and headers
// included), *offset/*remaining advanced; 0: nothing sent; < 0: failure, errno set.
int send_rtp(rtp_thread* thread, const unsigned char* unit, int* offset, int* remaining);

int notify_evman(int state);

// After a UDP send (sent < 0: failed with err): tells the event manager once
// when the network went away and once when it came back; a notice it did
// not take is tried again on the next send.
void track_network_state(long sent, int err);

struct h264_fu_state;
// The calling thread's H.264 fragmentation state, shared by everything that
// plans its packets, so that a unit may be continued by either send path.
h264_fu_state& stream_h264_state();

// Size of the fixed packet buffer, '$' prefix included.
inline constexpr int kPacketBufferSize = 1500;
