#include "jpeg_units.h"

#include <algorithm>
#include <optional>

namespace feeder {

namespace {

constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kEoi = 0xD9;
constexpr uint8_t kSos = 0xDA;
constexpr uint8_t kDqt = 0xDB;

// The standard tables of the JPEG standard's annex K, in natural order.
constexpr uint8_t kLuma[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr uint8_t kChroma[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
// Natural position of each zigzag index.
constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

uint16_t be16(std::span<const uint8_t> b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

bool is_frame_header(uint8_t m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }
bool is_standalone(uint8_t m) { return m == 0x01 || (m >= 0xD0 && m <= 0xD7); }

struct Tables {
  // Only 8-bit tables with ids 0 and 1 can be described by a Q.
  std::optional<std::array<uint8_t, 64>> table[2];
  bool other = false;
  // Component table selectors: the luminance component must use table 0,
  // the others table 1.
  bool selectors_standard = true;
};

void read_dqt(std::span<const uint8_t> seg, Tables& t) {
  size_t at = 0;
  while (at < seg.size()) {
    const uint8_t pq = seg[at] >> 4;
    const uint8_t tq = seg[at] & 0x0F;
    const size_t size = pq == 0 ? 64 : 128;
    if (at + 1 + size > seg.size()) {
      t.other = true;
      return;
    }
    if (pq != 0 || tq > 1) {
      t.other = true;
    } else {
      std::array<uint8_t, 64> values{};
      std::copy_n(seg.begin() + static_cast<std::ptrdiff_t>(at + 1), 64, values.begin());
      t.table[tq] = values;
    }
    at += 1 + size;
  }
}

void read_sof(std::span<const uint8_t> seg, JpegPicture& pic, Tables& t) {
  if (seg.size() < 6) return;
  pic.height = be16(seg, 1);
  pic.width = be16(seg, 3);
  const size_t components = seg[5];
  for (size_t c = 0; c < components && 6 + c * 3 + 2 < seg.size(); ++c) {
    const uint8_t selector = seg[6 + c * 3 + 2];
    if (selector != (c == 0 ? 0 : 1)) t.selectors_standard = false;
  }
}

uint16_t q_for(const Tables& t) {
  if (t.other || !t.selectors_standard || !t.table[0]) return kCustomTablesQ;
  for (int q = 1; q <= 99; ++q) {
    if (*t.table[0] == rfc2435_table(q, false) && (!t.table[1] || *t.table[1] == rfc2435_table(q, true))) {
      return static_cast<uint16_t>(q);
    }
  }
  return kCustomTablesQ;
}

// Walks one picture from its SOI; the picture or nothing when it is cut off.
std::optional<JpegPicture> walk_picture(std::span<const uint8_t> in, size_t soi) {
  JpegPicture pic{static_cast<uint32_t>(soi), 0, 0, 0, kCustomTablesQ};
  Tables tables;
  size_t i = soi + 2;
  const size_t n = in.size();
  while (i + 1 < n) {
    if (in[i] != 0xFF) return std::nullopt;  // not a marker where one must be
    const uint8_t m = in[i + 1];
    if (m == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    if (m == kEoi) {
      pic.length = static_cast<uint32_t>(i + 2 - soi);
      pic.quality = q_for(tables);
      return pic;
    }
    if (is_standalone(m)) {
      i += 2;
      continue;
    }
    if (i + 4 > n) return std::nullopt;
    const size_t len = be16(in, i + 2);
    if (len < 2 || i + 2 + len > n) return std::nullopt;
    const auto seg = in.subspan(i + 4, len - 2);
    if (m == kDqt) read_dqt(seg, tables);
    if (is_frame_header(m)) read_sof(seg, pic, tables);
    i += 2 + len;
    if (m == kSos) {
      // Entropy-coded data runs to the next marker that is not a stuffed
      // 0xFF or a restart marker.
      while (i + 1 < n && !(in[i] == 0xFF && in[i + 1] != 0 && !(in[i + 1] >= 0xD0 && in[i + 1] <= 0xD7))) ++i;
    }
  }
  return std::nullopt;
}

}  // namespace

std::array<uint8_t, 64> rfc2435_table(int q, bool chroma) {
  const int factor = std::clamp(q, 1, 99);
  const int scale = factor < 50 ? 5000 / factor : 200 - factor * 2;
  std::array<uint8_t, 64> out{};
  for (size_t i = 0; i < 64; ++i) {
    const int base = chroma ? kChroma[kZigzag[i]] : kLuma[kZigzag[i]];
    out[i] = static_cast<uint8_t>(std::clamp((base * scale + 50) / 100, 1, 255));
  }
  return out;
}

std::vector<JpegPicture> find_jpeg_pictures(std::span<const uint8_t> input) {
  std::vector<JpegPicture> pictures;
  size_t at = 0;
  while (at + 1 < input.size()) {
    if (input[at] != 0xFF || input[at + 1] != kSoi) {
      ++at;
      continue;
    }
    const auto pic = walk_picture(input, at);
    if (!pic) {
      at += 2;  // cut off or corrupt: look for the next picture
      continue;
    }
    pictures.push_back(*pic);
    at += pic->length;
  }
  return pictures;
}

FeedPlan plan_jpeg(std::span<const uint8_t> input) {
  FeedPlan plan;
  for (const JpegPicture& pic : find_jpeg_pictures(input)) {
    PlannedBlock block;
    block.parts.push_back({pic.offset, pic.length});
    block.meta.width = pic.width;
    block.meta.height = pic.height;
    block.meta.quality = pic.quality;
    plan.add(std::move(block));
  }
  return plan;
}

}  // namespace feeder
