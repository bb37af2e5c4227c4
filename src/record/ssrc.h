// The stream's SSRC: a fold of the session id and the interface's hardware
// address with a per-source seed, so that it is stable for one session on
// one device.
#pragma once

#include <cstdint>
#include <span>

uint32_t ssrc_from(int session_id, std::span<const uint8_t, 6> hwaddr, uint32_t seed);
