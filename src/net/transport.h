// Sending to a stream's destination, shared by the stream and RTCP threads.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <span>

#include "net/network.h"

inline constexpr int kFallbackMtu = 1500; // when the interface does not say

// Points ns at dest (the caller's buffer, which must live as long as the
// socket), prepares the UDP socket (a TCP stream's was handed over) and takes
// the interface MTU. False when the UDP socket could not be prepared (sock is
// then -1).
bool open_destination(network_setting& ns, sockaddr_storage& dest);

// One datagram of the parts to ns's destination, without flags.
ssize_t send_datagram(const network_setting& ns, std::span<const iovec> parts);

// The send failed because the network is down or unreachable: worth telling
// the event manager, not worth retrying at once.
bool is_network_down(int err);
