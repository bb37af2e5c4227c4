// RTP and RTCP packets built byte by byte for the rtp-probe tests.
#pragma once

#include <cstdint>
#include <vector>

namespace probe_packets {

// Appends `value` in network order, `bytes` wide.
inline void put(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

inline std::vector<uint8_t> rtp(uint8_t pt, uint16_t seq, uint32_t ts, bool marker,
                                 const std::vector<uint8_t>& payload, uint32_t ssrc) {
  std::vector<uint8_t> p = {0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | pt)};
  put(p, seq, 2);
  put(p, ts, 4);
  put(p, ssrc, 4);
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

} // namespace probe_packets
