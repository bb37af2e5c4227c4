#include "media/jpeg_header.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "media/jpeg_huffman.h"

namespace {

constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kSos = 0xDA;
constexpr uint8_t kDqt = 0xDB;
constexpr uint8_t kDht = 0xC4;
constexpr uint8_t kDri = 0xDD;
constexpr int kRfc2435Components = 3;
constexpr uint8_t kLuma2x1 = 0x21;
constexpr uint8_t kLuma2x2 = 0x22;
constexpr uint8_t kChroma1x1 = 0x11;
constexpr uint8_t kLumaTables = 0x00;   // DC and AC table 0
constexpr uint8_t kChromaTables = 0x11; // DC and AC table 1
constexpr size_t kSoiLength = 2;
constexpr int kTableIds = 4;

uint16_t be16(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// Start-of-frame markers carry the component table selectors; C4 (DHT), C8
// (JPG) and CC (DAC) share the range but are not frame headers.
bool is_frame_header(uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

struct segment {
  uint8_t marker;
  std::span<const uint8_t> body; // after the length field
};

// Walks the marker segments after SOI, handing each whole one to `visit`;
// stops at SOS, at anything that is not a marker, or at a segment that does
// not fit.
template <typename Visit>
void for_each_segment(std::span<const uint8_t> header, Visit visit) {
  size_t at = kSoiLength;
  while (at + 4 <= header.size() && header[at] == kMarker) {
    const uint8_t marker = header[at + 1];
    const size_t length = be16(header, at + 2);
    if (length < 2 || at + 2 + length > header.size()) return;
    visit(segment{marker, header.subspan(at + 4, length - 2)});
    if (marker == kSos) return;
    at += 2 + length;
  }
}

struct found_tables {
  std::array<std::span<const uint8_t>, kTableIds> table{};
  std::array<bool, kTableIds> wide{};
  int luma = 0;
  int chroma = 1;
  int components = 2;
};

void read_dqt(std::span<const uint8_t> body, found_tables& found) {
  size_t at = 0;
  while (at < body.size()) {
    const bool wide = (body[at] >> 4) != 0;
    const int id = body[at] & 0x0F;
    const size_t bytes = wide ? 128 : 64;
    if (id >= kTableIds || at + 1 + bytes > body.size()) return;
    found.table[id] = body.subspan(at + 1, bytes);
    found.wide[id] = wide;
    at += 1 + bytes;
  }
}

void read_frame_header(std::span<const uint8_t> body, found_tables& found) {
  // precision, height(2), width(2), component count, then 3 bytes per component
  if (body.size() < 6) return;
  const int count = body[5];
  if (count < 1 || body.size() < 6 + 3 * static_cast<size_t>(count)) return;
  found.components = count;
  found.luma = body[6 + 2] & 0x0F;
  if (count >= 2) found.chroma = body[6 + 3 + 2] & 0x0F;
}

// Sampling factors of the frame header: three components, luma 2x1 (type 0)
// or 2x2 (type 1), both chroma components 1x1.
void read_sampling(std::span<const uint8_t> body, jpeg_form& form, int& components) {
  components = body.size() >= 6 ? body[5] : 0;
  if (components != kRfc2435Components || body.size() < 6 + 3 * static_cast<size_t>(components)) {
    form.fit = jpeg_fit::sampling;
    return;
  }
  const uint8_t luma = body[6 + 1];
  if ((luma != kLuma2x1 && luma != kLuma2x2) || body[9 + 1] != kChroma1x1 || body[12 + 1] != kChroma1x1) {
    form.fit = jpeg_fit::sampling;
    return;
  }
  form.type = luma == kLuma2x1 ? 0 : 1;
}

// The receiver decodes the first component with tables 0 and the others with
// tables 1, all in one interleaved scan.
jpeg_fit read_scan_tables(std::span<const uint8_t> body, int components) {
  if (body.empty() || body[0] != components || body.size() < 1 + 2 * static_cast<size_t>(components)) {
    return jpeg_fit::sampling;
  }
  for (int c = 0; c < components; ++c) {
    if (body[2 + 2 * static_cast<size_t>(c)] != (c == 0 ? kLumaTables : kChromaTables)) return jpeg_fit::huffman;
  }
  return jpeg_fit::fits;
}

}  // namespace

jpeg_form jpeg_rfc2435_form(std::span<const uint8_t> header) {
  jpeg_form form;
  int components = 0; // 0 until a frame header says
  bool standard_huffman = true;
  for_each_segment(header, [&](const segment& seg) {
    if (is_frame_header(seg.marker)) {
      read_sampling(seg.body, form, components);
    } else if (seg.marker == kDht) {
      standard_huffman = standard_huffman && jpeg_dht_is_standard(seg.body);
    } else if (seg.marker == kDri && seg.body.size() >= 2) {
      form.restart_interval = be16(seg.body, 0);
    } else if (seg.marker == kSos && components > 0 && form.fit == jpeg_fit::fits) {
      form.fit = read_scan_tables(seg.body, components);
    }
  });
  if (form.fit == jpeg_fit::fits && !standard_huffman) form.fit = jpeg_fit::huffman;
  return form;
}

std::optional<size_t> jpeg_scan_offset(std::span<const uint8_t> picture) {
  const size_t size = picture.size();
  if (size <= kSoiLength || picture[2] != kMarker) return kSoiLength;
  if (size < 6) return std::nullopt;
  const bool first_is_sos = picture[3] == kSos;
  size_t end = 4 + be16(picture, 4);
  if (first_is_sos) {
    if (end > size) return std::nullopt;
    return end;
  }
  while (end < size && picture[end] == kMarker) {
    if (end + 4 > size) return std::nullopt;
    const uint8_t marker = picture[end + 1];
    end += 2 + be16(picture, end + 2);
    if (marker == kSos) {
      if (end > size) return std::nullopt;
      return end;
    }
  }
  // Left the picture, or met a byte that is no marker, before any SOS.
  return std::nullopt;
}

jpeg_qt_tables jpeg_quant_tables(std::span<const uint8_t> header, std::span<uint8_t> out) {
  found_tables found;
  for_each_segment(header, [&found](const segment& seg) {
    if (seg.marker == kDqt) read_dqt(seg.body, found);
    else if (is_frame_header(seg.marker)) read_frame_header(seg.body, found);
  });

  std::array<int, 2> order{found.luma, found.chroma};
  const size_t count = found.components >= 2 ? 2 : 1;
  jpeg_qt_tables result;
  size_t written = 0;
  for (size_t i = 0; i < count; ++i) {
    const int id = order[i];
    if (id >= kTableIds || found.table[id].empty()) return {};
    const auto table = found.table[id];
    if (written + table.size() > out.size()) return {};
    std::memcpy(out.data() + written, table.data(), table.size());
    written += table.size();
    if (found.wide[id]) result.precision |= static_cast<uint8_t>(1u << i);
  }
  result.length = static_cast<uint16_t>(written);
  return result;
}
