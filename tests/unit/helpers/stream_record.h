// A stream's network record with its own destination buffer, as the stream
// threads keep it: what the socket set-up tests hand to prepare_network.
#pragma once

#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "net/network.h"

namespace stream_test {

struct stream_record {
  network_setting ns;
  sockaddr_in6 dst6{};
  sockaddr_in dst4{};

  stream_record(const char* host, uint32_t dstport, uint32_t srcport, uint32_t ttl, uint32_t tos,
                const char* device) {
    std::snprintf(ns.host, sizeof ns.host, "%s", host);
    std::snprintf(ns.device, sizeof ns.device, "%s", device);
    ns.dstport = dstport;
    ns.srcport = srcport;
    ns.ttl = ttl;
    ns.tos = tos;
    ns.protocol = kProtocolUdp;
    ns.addr.ai_addr = std::strchr(host, ':') != nullptr ? reinterpret_cast<sockaddr*>(&dst6)
                                                         : reinterpret_cast<sockaddr*>(&dst4);
  }
};

} // namespace stream_test
