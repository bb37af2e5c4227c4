// What a receiver needs to know beyond the payload type, taken from the
// encoded blocks: H.264 parameter sets and the MPEG-4 configuration headers.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "toolkit/media.h"

namespace sdp {

using Bytes = std::span<const uint8_t>;

using toolkit::hex;
using toolkit::Mpeg4Config;
using toolkit::mpeg4_config;
using toolkit::split_nal_units;

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

} // namespace sdp
