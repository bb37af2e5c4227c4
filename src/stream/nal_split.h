// Cutting an SD-playback block into the NAL units the stream thread sends.
#pragma once

#include <cstdint>
#include <span>

#include "stream/rtp_thread.h"

inline constexpr int kMaxUnits = 4;
inline constexpr int kNalScanWindow = 512;
inline constexpr int kNalTypeSei = 6;

// Fills units with up to four NAL units of the n bytes at buffer, each with
// its start code; SEI units are dropped when drop_sei is set. Returns the
// number stored.
int split_nal_units(const unsigned char* buffer, int n, bool drop_sei, std::span<nal_unit, kMaxUnits> units);
