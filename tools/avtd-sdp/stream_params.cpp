#include "stream_params.h"

#include <cstdio>

namespace sdp {
namespace {

constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;

} // namespace

void take_param_sets(Bytes block, H264ParamSets& out) {
  std::vector<uint8_t> sps;
  std::vector<uint8_t> pps;
  for (const Bytes nal : split_nal_units(block)) {
    const uint8_t type = nal[0] & 0x1F;
    if (type == kNalSps && nal.size() >= 4) {
      sps.assign(nal.begin(), nal.end());
    } else if (type == kNalPps && nal.size() >= 2) {
      pps.assign(nal.begin(), nal.end());
    }
  }
  if (out.sps.empty() && !sps.empty()) {
    out.sps = std::move(sps);
  }
  if (out.pps.empty() && !pps.empty()) {
    out.pps = std::move(pps);
  }
}

std::string profile_level_id(const std::vector<uint8_t>& sps) {
  if (sps.size() < 4) {
    return {};
  }
  char text[7];
  std::snprintf(text, sizeof text, "%02X%02X%02X", sps[1], sps[2], sps[3]);
  return text;
}

std::string sprop_parameter_sets(const H264ParamSets& sets) {
  if (!sets.complete()) {
    return {};
  }
  return base64(sets.sps) + "," + base64(sets.pps);
}

std::string base64(Bytes data) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t v = static_cast<uint32_t>(data[i]) << 16 | static_cast<uint32_t>(data[i + 1]) << 8 | data[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < data.size()) {
    const bool two = i + 1 < data.size();
    const uint32_t v = static_cast<uint32_t>(data[i]) << 16 | (two ? static_cast<uint32_t>(data[i + 1]) << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += two ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

} // namespace sdp
