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

// Size of the fixed packet buffer, '$' prefix included.
inline constexpr int kPacketBufferSize = 1500;
