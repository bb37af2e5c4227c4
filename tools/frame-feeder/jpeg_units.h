// Concatenated JPEG files cut into pictures, with the size and the RFC 2435
// Q value that describes each picture's quantisation tables.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "feed_plan.h"

namespace feeder {

struct JpegPicture {
  uint32_t offset;  // SOI
  uint32_t length;  // through EOI
  uint16_t width;   // from the frame header (0 when there is none)
  uint16_t height;
  uint16_t quality; // 1..99, or 255 when the tables are not the scaled standard ones
};

inline constexpr uint16_t kCustomTablesQ = 255;

// Every complete picture (SOI through EOI) in the input; bytes between
// pictures are skipped, and a truncated last picture is left out.
std::vector<JpegPicture> find_jpeg_pictures(std::span<const uint8_t> input);

// The standard luminance (id 0) and chrominance (id 1) tables scaled for q
// as a receiver rebuilds them, in zigzag order.
std::array<uint8_t, 64> rfc2435_table(int q, bool chroma);

// One picture per block, frame type 0.
FeedPlan plan_jpeg(std::span<const uint8_t> input);

}  // namespace feeder
