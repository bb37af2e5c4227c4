#include "stream/payload_format.h"

#include <algorithm>

namespace {

constexpr int kStapHeaderSize = 3;
constexpr int kFuHeaderSize = 2;
constexpr uint8_t kFuStart = 0x80;
constexpr uint8_t kFuEnd = 0x40;

bool starts_with_start_code(std::span<const uint8_t> rest) {
  return rest[0] == 0 && rest[1] == 0 && rest[2] == 0 && rest[3] == 1;
}

bool is_aggregated_type(uint8_t type) { return type == 6 || type == 7 || type == 8; }

payload_cut fu_a(std::span<const uint8_t> body, int room, uint8_t fu_header, const h264_fu_state& state,
                 std::span<uint8_t> hdr, int skip) {
  const int size = static_cast<int>(body.size());
  const int fits = room - kFuHeaderSize;
  payload_cut cut;
  cut.header_len = kFuHeaderSize;
  cut.skip = skip;
  cut.last = size <= fits;
  cut.take = cut.last ? size : std::max(fits, 0);
  hdr[0] = static_cast<uint8_t>(state.nri | kNalFuA);
  hdr[1] = static_cast<uint8_t>(fu_header | (cut.last ? kFuEnd : 0));
  return cut;
}

} // namespace

payload_cut cut_h264(std::span<const uint8_t> rest, int room, bool disable_stap, h264_fu_state& state,
                     std::span<uint8_t> hdr) {
  const int size = static_cast<int>(rest.size());
  if (size <= kH264StartCodeSize + 1 || !starts_with_start_code(rest)) {
    // The rest of a fragmented NAL unit, or bytes without a start code.
    return fu_a(rest, room, state.type, state, hdr, 0);
  }

  const uint8_t nal = rest[kH264StartCodeSize];
  state.nri = nal & 0x60;
  state.type = nal & 0x1F;
  const int nal_size = size - kH264StartCodeSize; // NAL header and body

  // A NAL unit that fits goes whole in one packet; a larger one is
  // fragmented, so that no receiver sees a truncated STAP-A, nor an FU-A
  // with both start and end set (which the payload format forbids).
  if (is_aggregated_type(state.type) && !disable_stap) {
    if (nal_size <= room - kStapHeaderSize) {
      hdr[0] = static_cast<uint8_t>(state.nri | kNalStapA);
      hdr[1] = static_cast<uint8_t>(nal_size >> 8);
      hdr[2] = static_cast<uint8_t>(nal_size);
      return {kStapHeaderSize, kH264StartCodeSize, nal_size, true};
    }
  } else if (nal_size <= room) {
    return {0, kH264StartCodeSize, nal_size, true};
  }
  return fu_a(rest.subspan(kH264StartCodeSize + 1), room, static_cast<uint8_t>(kFuStart | state.type), state,
              hdr, kH264StartCodeSize + 1);
}
