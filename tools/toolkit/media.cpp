#include "toolkit/media.h"

namespace toolkit {
namespace {

constexpr uint8_t kVosStart = 0xB0;
constexpr uint8_t kGovStart = 0xB3;
constexpr uint8_t kVopStart = 0xB6;

// Position just after the next 00 00 01 at or after `from`, or size.
size_t next_start_code(Bytes b, size_t from) {
  for (size_t i = from; i + 3 <= b.size(); ++i) {
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
      return i + 3;
    }
  }
  return b.size();
}

bool is_config_code(uint8_t code) { return code == kVosStart || code == 0xB5 || code <= 0x2F || code == 0xB2; }
bool is_vol_code(uint8_t code) { return code >= 0x20 && code <= 0x2F; }

} // namespace

std::vector<Bytes> split_nal_units(Bytes stream) {
  std::vector<Bytes> units;
  size_t start = next_start_code(stream, 0);
  while (start < stream.size()) {
    const size_t next = next_start_code(stream, start);
    size_t end = next < stream.size() ? next - 3 : stream.size();
    // Trailing zeros belong to the next start code or are padding.
    while (end > start && stream[end - 1] == 0) {
      --end;
    }
    if (end > start) {
      units.push_back(stream.subspan(start, end - start));
    }
    start = next;
  }
  return units;
}

std::string hex(Bytes data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(data.size() * 2);
  for (const uint8_t b : data) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

Mpeg4Config mpeg4_config(Bytes block) {
  Mpeg4Config result;
  size_t at = next_start_code(block, 0);
  if (at >= block.size() || !is_config_code(block[at])) {
    return result;
  }
  const size_t begin = at - 3;
  bool has_vol = false;
  size_t end = block.size();
  for (; at < block.size(); at = next_start_code(block, at)) {
    const uint8_t code = block[at];
    if (code == kGovStart || code == kVopStart) {
      end = at - 3;
      break;
    }
    if (code == kVosStart && at + 1 < block.size()) {
      result.profile_level = block[at + 1];
    }
    has_vol = has_vol || is_vol_code(code);
  }
  if (has_vol) {
    result.config.assign(block.begin() + static_cast<std::ptrdiff_t>(begin),
                         block.begin() + static_cast<std::ptrdiff_t>(end));
  } else {
    result.profile_level = 1;
  }
  return result;
}

} // namespace toolkit
