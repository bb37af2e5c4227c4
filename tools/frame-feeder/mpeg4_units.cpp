#include "mpeg4_units.h"

#include <optional>
#include <vector>

namespace feeder {

namespace {

constexpr uint8_t kVosStart = 0xB0;
constexpr uint8_t kVosEnd = 0xB1;
constexpr uint8_t kVisualObject = 0xB5;
constexpr uint8_t kVop = 0xB6;
constexpr uint8_t kLastVolCode = 0x2F;  // 0x00..0x1F video object, 0x20..0x2F VOL

struct Segment {
  uint32_t offset;  // at its start code
  uint32_t end;
  uint8_t code;
};

std::vector<Segment> segments(std::span<const uint8_t> in) {
  std::vector<Segment> out;
  for (size_t i = 0; i + 3 < in.size(); ++i) {
    if (in[i] != 0 || in[i + 1] != 0 || in[i + 2] != 1) continue;
    if (!out.empty()) out.back().end = static_cast<uint32_t>(i);
    out.push_back({static_cast<uint32_t>(i), static_cast<uint32_t>(in.size()), in[i + 3]});
    i += 2;  // the code byte itself may begin the next start code
  }
  return out;
}

bool is_config(uint8_t code) { return code == kVosStart || code == kVisualObject || code <= kLastVolCode; }

}  // namespace

FeedPlan plan_mpeg4(std::span<const uint8_t> input) {
  FeedPlan plan;
  std::optional<ByteRange> last_config;
  int64_t pending = -1;  // start of the headers before the next VOP, if any
  std::optional<ByteRange> config;  // configuration headers among them
  for (const Segment& seg : segments(input)) {
    if (seg.code == kVosEnd) continue;
    if (seg.code != kVop) {
      if (pending < 0) pending = seg.offset;
      if (is_config(seg.code)) {
        if (!config) config = ByteRange{seg.offset, 0};
        config->length = seg.end - config->offset;
      }
      continue;
    }
    // vop_coding_type: the first two bits after the start code; 0 is intra.
    const bool intra = seg.end > seg.offset + 4 && (input[seg.offset + 4] >> 6) == 0;
    PlannedBlock block;
    block.meta.frame_type = intra ? kMpeg4KeyFrameType : 0;
    if (config) last_config = config;
    if (intra && !config && last_config) block.parts.push_back(*last_config);
    const uint32_t start = pending >= 0 ? static_cast<uint32_t>(pending) : seg.offset;
    block.parts.push_back({start, seg.end - start});
    plan.add(std::move(block));
    pending = -1;
    config.reset();
  }
  return plan;
}

}  // namespace feeder
