#include "h264_units.h"

#include "toolkit/media.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace feeder {

namespace {

constexpr uint8_t kNalSlice = 1;
constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSei = 6;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;
constexpr uint8_t kNalAud = 9;
constexpr uint8_t kNalEndOfSequence = 10;
constexpr uint8_t kNalEndOfStream = 11;
constexpr uint8_t kNalFiller = 12;
constexpr uint8_t kKeyFrameType = 8;
// The stream's unit splitting looks for the next start code within this
// many bytes of a unit's start, and keeps at most this many units per block.
constexpr uint32_t kSplitWindow = 512;
constexpr size_t kUnitsPerBlock = 4;

bool is_vcl(uint8_t type) { return type >= kNalSlice && type <= kNalIdr; }

// Units that may only come before the first slice of an access unit, so
// after a slice they open the next one.
bool opens_access_unit(uint8_t type) {
  return type == kNalSei || type == kNalSps || type == kNalPps || type == kNalAud ||
         (type >= 14 && type <= 18);
}

bool dropped(uint8_t type) {
  return type == kNalAud || type == kNalFiller || type == kNalEndOfSequence || type == kNalEndOfStream;
}

// first_mb_in_slice is the slice header's first ue(v); it is 0 exactly when
// the first bit after the NAL header is 1.
bool starts_picture(std::span<const uint8_t> input, const NalUnit& nal) {
  return nal.length < 2 || (input[nal.offset + 1] & 0x80) != 0;
}

bool same_bytes(std::span<const uint8_t> input, const NalUnit& a, const NalUnit& b) {
  return a.length == b.length && std::memcmp(&input[a.offset], &input[b.offset], a.length) == 0;
}

std::vector<std::vector<NalUnit>> access_units(std::span<const uint8_t> input,
                                               const std::vector<NalUnit>& nals) {
  std::vector<std::vector<NalUnit>> units;
  std::vector<NalUnit> current;
  bool seen_slice = false;
  for (const NalUnit& nal : nals) {
    const bool boundary = seen_slice && (opens_access_unit(nal.type) ||
                                         (is_vcl(nal.type) && starts_picture(input, nal)));
    if (boundary) {
      units.push_back(std::move(current));
      current.clear();
      seen_slice = false;
    }
    current.push_back(nal);
    seen_slice |= is_vcl(nal.type);
  }
  if (seen_slice) units.push_back(std::move(current));
  return units;
}

// The access unit's units in the order they go to the store.
std::vector<NalUnit> ordered_units(std::span<const uint8_t> input, const std::vector<NalUnit>& au,
                                   std::optional<NalUnit>& last_sps, std::optional<NalUnit>& last_pps,
                                   bool repeat_headers) {
  const bool key = std::any_of(au.begin(), au.end(), [](const NalUnit& n) { return n.type == kNalIdr; });
  std::vector<NalUnit> sps;
  std::vector<NalUnit> pps;
  std::vector<NalUnit> rest;
  for (const NalUnit& nal : au) {
    if (dropped(nal.type)) continue;
    const bool again = key && repeat_headers;
    if (nal.type == kNalSps) {
      if (again || !last_sps || !same_bytes(input, *last_sps, nal)) sps.push_back(nal);
      last_sps = nal;
    } else if (nal.type == kNalPps) {
      if (again || !last_pps || !same_bytes(input, *last_pps, nal)) pps.push_back(nal);
      last_pps = nal;
    } else {
      rest.push_back(nal);
    }
  }
  if (key) {
    // A reader that starts at this frame must be able to decode it.
    if (repeat_headers && sps.empty() && last_sps) sps.push_back(*last_sps);
    if (repeat_headers && pps.empty() && last_pps) pps.push_back(*last_pps);
    std::vector<NalUnit> out = sps;
    out.insert(out.end(), pps.begin(), pps.end());
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
  }
  // Outside key frames keep the stream's own order.
  std::vector<NalUnit> out;
  for (const NalUnit& nal : au) {
    if (dropped(nal.type)) continue;
    const bool kept_sps = nal.type == kNalSps &&
                          std::any_of(sps.begin(), sps.end(), [&](const NalUnit& s) { return s.offset == nal.offset; });
    const bool kept_pps = nal.type == kNalPps &&
                          std::any_of(pps.begin(), pps.end(), [&](const NalUnit& p) { return p.offset == nal.offset; });
    if ((nal.type != kNalSps && nal.type != kNalPps) || kept_sps || kept_pps) out.push_back(nal);
  }
  return out;
}

}  // namespace

std::vector<NalUnit> find_nal_units(std::span<const uint8_t> input) {
  std::vector<NalUnit> nals;
  for (const std::span<const uint8_t> nal : toolkit::split_nal_units(input)) {
    nals.push_back({static_cast<uint32_t>(nal.data() - input.data()), static_cast<uint32_t>(nal.size()),
                    static_cast<uint8_t>(nal[0] & 0x1F)});
  }
  return nals;
}

FeedPlan plan_h264(std::span<const uint8_t> input, bool playback, bool repeat_headers) {
  FeedPlan plan;
  const std::vector<NalUnit> nals = find_nal_units(input);
  std::optional<NalUnit> last_sps;
  std::optional<NalUnit> last_pps;
  for (const auto& au : access_units(input, nals)) {
    const bool key = std::any_of(au.begin(), au.end(), [](const NalUnit& n) { return n.type == kNalIdr; });
    const std::vector<NalUnit> units = ordered_units(input, au, last_sps, last_pps, repeat_headers);
    bool first = true;
    PlannedBlock block;
    auto flush = [&] {
      if (block.parts.empty()) return;
      block.start_codes = true;
      block.frame_start = first;
      block.meta.frame_type = (first && key) ? kKeyFrameType : 0;
      plan.add(std::move(block));
      block = PlannedBlock{};
      first = false;
    };
    for (const NalUnit& nal : units) {
      block.parts.push_back({nal.offset, nal.length});
      const bool next_findable = 4 + nal.length + 4 <= kSplitWindow;
      if (!playback || !next_findable || block.parts.size() == kUnitsPerBlock) flush();
    }
    flush();
  }
  return plan;
}

}  // namespace feeder
