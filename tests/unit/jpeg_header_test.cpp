#include "media/jpeg_header.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "helpers/media_jpeg.h"
#include "media/jpeg_rfc2435.h"
#include "platform/framestore.h"
#include "stream/rtp_thread.h"

namespace {

using media_test::jpeg_layout;
using media_test::make_jpeg;

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(JpegHeaderWalk, ScanDataStartsAfterTheFirstSosSegment) {
  const auto f = make_jpeg();
  EXPECT_EQ(jpeg_scan_offset(f.bytes), f.scan_offset);
}

TEST(JpegHeaderWalk, FirstSegmentBeingSosEndsTheHeaderThere) {
  const std::vector<uint8_t> pic{0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0, 0x55, 0xFF, 0xD9};
  EXPECT_EQ(jpeg_scan_offset(pic), 4u + 8u);
}

TEST(JpegHeaderWalk, NoMarkerAfterSoiLeavesOnlySoiAsHeader) {
  EXPECT_EQ(jpeg_scan_offset(std::vector<uint8_t>{0xFF, 0xD8, 0x12, 0x34}), 2u);
  EXPECT_EQ(jpeg_scan_offset(std::vector<uint8_t>{0xFF, 0xD8}), 2u);
  EXPECT_EQ(jpeg_scan_offset(std::vector<uint8_t>{}), 2u);
}

TEST(JpegHeaderWalk, TruncatedHeaderEndsTheWalkInsideThePicture) {
  const auto f = make_jpeg();
  for (size_t keep = 3; keep < f.scan_offset; ++keep) {
    const std::vector<uint8_t> cut(f.bytes.begin(), f.bytes.begin() + static_cast<long>(keep));
    EXPECT_FALSE(jpeg_scan_offset(cut).has_value()) << "kept " << keep;
  }
  // Cut right after SOS: a header, but no scan data.
  EXPECT_EQ(jpeg_scan_offset(std::span(f.bytes).first(f.scan_offset)), f.scan_offset);
}

TEST(JpegHeaderWalk, SegmentLengthPastTheEndOrANonMarkerByteIsCorrupt) {
  auto f = make_jpeg();
  auto too_long = f.bytes;
  too_long[4] = 0xFF; // APP0 length now runs far past the picture
  EXPECT_FALSE(jpeg_scan_offset(too_long).has_value());

  auto junk = f.bytes;
  junk[4 + 16] = 0x00; // the byte where the DQT marker should be
  EXPECT_FALSE(jpeg_scan_offset(junk).has_value());

  const std::vector<uint8_t> sos_too_long{0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x40, 1, 2};
  EXPECT_FALSE(jpeg_scan_offset(sos_too_long).has_value());
}

TEST(JpegQuantTables, EightBitTablesComeLumaThenChromaWithPrecisionZero) {
  const auto f = make_jpeg();
  std::array<uint8_t, kJpegQtMaxBytes> out{};
  const auto t = jpeg_quant_tables(std::span(f.bytes).first(f.scan_offset), out);
  EXPECT_EQ(t.precision, 0);
  ASSERT_EQ(t.length, 128);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 128), cat(f.luma_table, f.chroma_table));
}

TEST(JpegQuantTables, SixteenBitTablesSetTheirPrecisionBit) {
  std::array<uint8_t, kJpegQtMaxBytes> out{};
  const auto luma16 = make_jpeg({.wide_luma = true});
  auto t = jpeg_quant_tables(std::span(luma16.bytes).first(luma16.scan_offset), out);
  EXPECT_EQ(t.precision, 1);
  ASSERT_EQ(t.length, 128 + 64);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + t.length), cat(luma16.luma_table, luma16.chroma_table));

  const auto both16 = make_jpeg({.wide_luma = true, .wide_chroma = true, .one_dqt_segment = true});
  t = jpeg_quant_tables(std::span(both16.bytes).first(both16.scan_offset), out);
  EXPECT_EQ(t.precision, 3);
  ASSERT_EQ(t.length, 256);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), cat(both16.luma_table, both16.chroma_table));
}

TEST(JpegQuantTables, FrameHeaderSelectorsDecideWhichTableIsLuma) {
  const auto f = make_jpeg({.wide_chroma = true, .swap_table_ids = true});
  std::array<uint8_t, kJpegQtMaxBytes> out{};
  const auto t = jpeg_quant_tables(std::span(f.bytes).first(f.scan_offset), out);
  EXPECT_EQ(t.precision, 2);
  ASSERT_EQ(t.length, 64 + 128);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + t.length), cat(f.luma_table, f.chroma_table));
}

TEST(JpegQuantTables, GreyPicturesCarryOneTableAndMissingTablesNone) {
  std::array<uint8_t, kJpegQtMaxBytes> out{};
  const auto grey = make_jpeg({.components = 1});
  auto t = jpeg_quant_tables(std::span(grey.bytes).first(grey.scan_offset), out);
  ASSERT_EQ(t.length, 64);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 64), grey.luma_table);

  // A DQT entry cut short is not a table: the luma table is then missing.
  auto f = make_jpeg();
  const size_t luma_dqt = 2 + 18 + 69; // SOI, APP0, chroma DQT
  f.bytes[luma_dqt + 3] = 2 + 1 + 40;
  t = jpeg_quant_tables(std::span(f.bytes).first(luma_dqt + 2 + 2 + 1 + 40), out);
  EXPECT_EQ(t.length, 0);
}

class Rfc2435Picture : public ::testing::Test {
 protected:
  std::unique_ptr<rtp_thread> thread = std::make_unique<rtp_thread>();
  shm_blockinfo info{};

  int prepare(std::vector<uint8_t>& pic) {
    return prepare_rfc2435_picture(thread.get(), info, pic.data(), static_cast<int>(pic.size()));
  }
};

TEST_F(Rfc2435Picture, ScanDataMovesToTheStartAndHeaderFieldsDescribeThePicture) {
  auto f = make_jpeg({.width = 640, .height = 480});
  const std::vector<uint8_t> scan(f.bytes.begin() + static_cast<long>(f.scan_offset), f.bytes.end());
  info.quality = 0x0132; // only the low byte is Q
  info.width = 640;
  info.height = 480;
  thread->jpeg_offset = 777;
  ASSERT_EQ(prepare(f.bytes), static_cast<int>(scan.size()));
  EXPECT_EQ(std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + static_cast<long>(scan.size())), scan);
  EXPECT_EQ(thread->jpeg_type_specific, 0);
  EXPECT_EQ(thread->jpeg_offset, 0u);
  EXPECT_EQ(thread->jpeg_type, 1);
  EXPECT_EQ(thread->jpeg_q, 0x32);
  EXPECT_EQ(thread->jpeg_width, 80);
  EXPECT_EQ(thread->jpeg_height, 60);
  EXPECT_EQ(thread->jpeg_qt_length, 0);
}

TEST_F(Rfc2435Picture, HighQCarriesThePicturesOwnTables) {
  auto f = make_jpeg({.wide_luma = true});
  info.quality = 255;
  info.width = 320;
  info.height = 240;
  ASSERT_GT(prepare(f.bytes), 0);
  EXPECT_EQ(thread->jpeg_q, 255);
  EXPECT_EQ(thread->jpeg_qt_mbz, 0);
  EXPECT_EQ(thread->jpeg_qt_precision, 1);
  ASSERT_EQ(thread->jpeg_qt_length, 192);
  EXPECT_EQ(std::vector<uint8_t>(thread->jpeg_qt_data, thread->jpeg_qt_data + 192), cat(f.luma_table, f.chroma_table));
}

TEST_F(Rfc2435Picture, MissingSizeUsesFallbackAndOversizeSaysZero) {
  auto f = make_jpeg();
  info.width = 0;
  info.height = 0;
  info.fallback_width = 704;
  info.fallback_height = 576;
  ASSERT_GT(prepare(f.bytes), 0);
  EXPECT_EQ(thread->jpeg_width, 88);
  EXPECT_EQ(thread->jpeg_height, 72);

  EXPECT_EQ(rfc2435_dimension(2040), 255);
  EXPECT_EQ(rfc2435_dimension(2041), 0);
  EXPECT_EQ(rfc2435_dimension(2048), 0);
  EXPECT_EQ(rfc2435_dimension(4104), 0); // 513 units: its low byte would say 8 pixels
  EXPECT_EQ(rfc2435_dimension(7), 0);
}

TEST_F(Rfc2435Picture, PicturesWithoutRealScanDataAreNotSent) {
  auto f = make_jpeg();
  auto header_only = std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + static_cast<long>(f.scan_offset));
  EXPECT_EQ(prepare(header_only), 0);
  auto one_byte = std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + static_cast<long>(f.scan_offset) + 1);
  EXPECT_EQ(prepare(one_byte), 0);
  auto truncated = std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + 40);
  EXPECT_EQ(prepare(truncated), 0);
  // A tiny picture whose scan data is shorter than its header is still a picture.
  auto tiny = make_jpeg({.scan_bytes = 6});
  EXPECT_EQ(prepare(tiny.bytes), 6);
}

}  // namespace
