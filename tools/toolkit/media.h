// The encoded units of the payload formats as the feeder, avtd-sdp and the
// tests take clips apart: H.264 NAL units and the MPEG-4 configuration.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace toolkit {

using Bytes = std::span<const uint8_t>;

// NAL units of an H.264 byte stream (3- or 4-byte start codes), without
// their start codes and without the zero bytes that trail them (those belong
// to the next start code or are padding); bytes before the first start code
// are skipped.
std::vector<Bytes> split_nal_units(Bytes stream);

// MPEG-4 visual configuration: the bytes from the first visual object
// sequence, visual object or object layer start code up to the first group
// of VOPs or VOP start code, provided they hold an object layer header.
struct Mpeg4Config {
  std::vector<uint8_t> config;
  int profile_level = 1; // from the sequence header when present; 1 otherwise
  bool found() const { return !config.empty(); }
};
Mpeg4Config mpeg4_config(Bytes block);

// "0A1B...": upper-case hexadecimal, two digits a byte.
std::string hex(Bytes data);

} // namespace toolkit
