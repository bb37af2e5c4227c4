// Reading a stored JPEG picture for RTP: where its header part ends and the
// scan data starts, and the quantisation tables that a receiver needs when
// the picture's Q says they travel with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Offset of the scan data: just after SOI when byte 2 is not a marker, else
// just after the first SOS segment. Nothing when the header is truncated or
// corrupt (a segment runs past the picture, or the walk meets a non-marker
// byte or the picture's end before SOS). Never reads outside `picture`.
std::optional<size_t> jpeg_scan_offset(std::span<const uint8_t> picture);

// Quantisation-table header content: the tables in zig-zag order as the
// picture defines them, luma table first, then chroma.
struct jpeg_qt_tables {
  uint8_t precision = 0; // bit i set: table i has 16-bit entries
  uint16_t length = 0;   // bytes written to the output; 0 when none found
};

inline constexpr size_t kJpegQtMaxBytes = 2 * 128; // two tables of 16-bit entries

// Collects the tables from the DQT segments of `header` (the header part of
// a picture, SOI included). The table selectors of the frame header decide
// which table is luma (first component) and which chroma (second); without a
// frame header tables 0 and 1 are taken. A table that is missing leaves the
// result empty. `out` must hold kJpegQtMaxBytes.
jpeg_qt_tables jpeg_quant_tables(std::span<const uint8_t> header, std::span<uint8_t> out);

// How a picture fits the RFC 2435 payload, read from its header part (SOI up
// to the end of the first SOS).
enum class jpeg_fit {
  fits,
  sampling, // not three components with luma 2x1 or 2x2 and chroma 1x1 in one scan
  huffman,  // Huffman tables other than the standard ones, or chroma coded with luma's
};

struct jpeg_form {
  jpeg_fit fit = jpeg_fit::fits;
  uint8_t type = 1;              // 0 for luma 2x1, 1 for 2x2; a header without a frame header keeps 1
  uint16_t restart_interval = 0; // from DRI; 0 when the picture has no restart markers
};

jpeg_form jpeg_rfc2435_form(std::span<const uint8_t> header);
