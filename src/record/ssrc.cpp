#include "record/ssrc.h"

#include "net/network.h"
#include "record/stream_record.h"

uint32_t ssrc_from(int session_id, std::span<const uint8_t, 6> hwaddr, uint32_t seed) {
  // 12 bytes: session id (low 16 bits, little-endian), 4 zero bytes, the
  // hardware address; read as three little-endian words.
  uint8_t block[12] = {};
  const auto id = static_cast<uint32_t>(session_id);
  block[0] = static_cast<uint8_t>(id);
  block[1] = static_cast<uint8_t>(id >> 8);
  for (int i = 0; i < 6; ++i) block[6 + i] = hwaddr[i];
  uint32_t ssrc = 0x11111111u ^ seed;
  for (int w = 0; w < 3; ++w) {
    const uint8_t* p = &block[w * 4];
    ssrc ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
            static_cast<uint32_t>(p[3]) << 24;
  }
  return ssrc;
}

uint32_t make_ssrc(rtp_thread* thread, uint32_t seed) {
  uint8_t hwaddr[6] = {};
  get_hwaddr(hwaddr, thread->ns.device);
  return ssrc_from(thread->session_id, hwaddr, seed);
}
