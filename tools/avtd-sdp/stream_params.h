// What a receiver needs to know beyond the payload type, taken from the
// encoded blocks: H.264 parameter sets and the MPEG-4 configuration headers.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sdp {

using Bytes = std::span<const uint8_t>;

// NAL units of an H.264 byte stream (3- or 4-byte start codes), without
// their start codes and without trailing zero bytes.
std::vector<Bytes> split_nal_units(Bytes stream);

struct H264ParamSets {
  std::vector<uint8_t> sps; // NAL units, header byte included
  std::vector<uint8_t> pps;
  bool complete() const { return !sps.empty() && !pps.empty(); }
};

// Keeps the last SPS and the last PPS of a block in `out` (when `out` has
// none yet of that kind). Used newest block first, so the newest win.
void take_param_sets(Bytes block, H264ParamSets& out);

// "42C01E": profile_idc, constraint flags and level_idc of the SPS.
std::string profile_level_id(const std::vector<uint8_t>& sps);
// "Z0LAHtkA...,aM4G4g==": the parameter sets in base64, SPS first.
std::string sprop_parameter_sets(const H264ParamSets& sets);

std::string base64(Bytes data);
std::string hex(Bytes data);

// MPEG-4 visual configuration: the bytes from the first visual object
// sequence, visual object or object layer start code up to the first group
// of VOPs or VOP start code, provided they hold an object layer header.
struct Mpeg4Config {
  std::vector<uint8_t> config;
  int profile_level = 1; // from the sequence header when present; 1 otherwise
  bool found() const { return !config.empty(); }
};
Mpeg4Config mpeg4_config(Bytes block);

} // namespace sdp
