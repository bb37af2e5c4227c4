// Hand-built JPEG files for the media tests: the marker segments a camera
// writes, with recognisable quantisation tables and filler scan data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace media_test {

struct jpeg_layout {
  uint16_t width = 320;
  uint16_t height = 240;
  int components = 3;
  bool wide_luma = false;      // 16-bit luma table entries
  bool wide_chroma = false;
  bool one_dqt_segment = false; // both tables in one DQT
  bool swap_table_ids = false;  // luma uses table 1, chroma table 0
  uint8_t luma_sampling = 0x22; // horizontal << 4 | vertical
  uint8_t chroma_sampling = 0x11;
  uint16_t restart_interval = 0; // a DRI segment when not 0
  bool custom_huffman = false;  // a Huffman table other than the standard ones
  size_t scan_bytes = 100;      // EOI included
};

struct jpeg_file {
  std::vector<uint8_t> bytes;
  size_t scan_offset = 0;            // first byte after the SOS segment
  std::vector<uint8_t> luma_table;   // as stored in the DQT (zig-zag order)
  std::vector<uint8_t> chroma_table;
};

jpeg_file make_jpeg(const jpeg_layout& layout = {});

}  // namespace media_test
