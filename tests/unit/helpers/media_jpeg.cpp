#include "helpers/media_jpeg.h"

namespace media_test {
namespace {

void put16(std::vector<uint8_t>& out, size_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void segment(std::vector<uint8_t>& out, uint8_t marker, const std::vector<uint8_t>& body) {
  out.push_back(0xFF);
  out.push_back(marker);
  put16(out, body.size() + 2);
  out.insert(out.end(), body.begin(), body.end());
}

std::vector<uint8_t> table(bool wide, uint8_t base) {
  std::vector<uint8_t> t;
  for (int i = 0; i < 64; ++i) {
    if (wide) t.push_back(static_cast<uint8_t>(i));
    t.push_back(static_cast<uint8_t>(base + i));
  }
  return t;
}

std::vector<uint8_t> dqt_entry(bool wide, int id, const std::vector<uint8_t>& t) {
  std::vector<uint8_t> e{static_cast<uint8_t>((wide ? 0x10 : 0x00) | id)};
  e.insert(e.end(), t.begin(), t.end());
  return e;
}

}  // namespace

jpeg_file make_jpeg(const jpeg_layout& layout) {
  jpeg_file f;
  f.luma_table = table(layout.wide_luma, 1);
  f.chroma_table = table(layout.wide_chroma, 101);
  const int luma_id = layout.swap_table_ids ? 1 : 0;
  const int chroma_id = 1 - luma_id;

  auto& out = f.bytes;
  out = {0xFF, 0xD8};
  segment(out, 0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  const auto luma = dqt_entry(layout.wide_luma, luma_id, f.luma_table);
  const auto chroma = dqt_entry(layout.wide_chroma, chroma_id, f.chroma_table);
  if (layout.one_dqt_segment) {
    auto both = chroma; // table order in the file does not decide luma/chroma
    both.insert(both.end(), luma.begin(), luma.end());
    segment(out, 0xDB, both);
  } else {
    segment(out, 0xDB, chroma);
    segment(out, 0xDB, luma);
  }
  std::vector<uint8_t> sof{8};
  put16(sof, layout.height);
  put16(sof, layout.width);
  sof.push_back(static_cast<uint8_t>(layout.components));
  for (int c = 0; c < layout.components; ++c) {
    sof.push_back(static_cast<uint8_t>(c + 1));
    sof.push_back(c == 0 ? layout.luma_sampling : layout.chroma_sampling);
    sof.push_back(static_cast<uint8_t>(c == 0 ? luma_id : chroma_id));
  }
  segment(out, 0xC0, sof);
  // The standard luma DC table, or one code length moved.
  std::vector<uint8_t> dht{0x00, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
  if (layout.custom_huffman) dht = {0x00, 0, 2, 4, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
  for (uint8_t v = 0; v < 12; ++v) dht.push_back(v);
  segment(out, 0xC4, dht);
  if (layout.restart_interval != 0) {
    std::vector<uint8_t> dri;
    put16(dri, layout.restart_interval);
    segment(out, 0xDD, dri);
  }
  std::vector<uint8_t> sos{static_cast<uint8_t>(layout.components)};
  for (int c = 0; c < layout.components; ++c) {
    sos.push_back(static_cast<uint8_t>(c + 1));
    sos.push_back(c == 0 ? 0x00 : 0x11);
  }
  sos.insert(sos.end(), {0x00, 0x3F, 0x00});
  segment(out, 0xDA, sos);
  f.scan_offset = out.size();
  for (size_t i = 0; i + 2 < layout.scan_bytes; ++i) out.push_back(static_cast<uint8_t>(0x20 + i % 0xD0));
  out.insert(out.end(), {0xFF, 0xD9});
  return f;
}

}  // namespace media_test
