#include "media/jpeg_header.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helpers/media_jpeg.h"
#include "media/jpeg_rfc2435.h"
#include "platform/framestore.h"
#include "stream/rtp_thread.h"

namespace {

using media_test::jpeg_layout;
using media_test::make_jpeg;
using bytes = std::vector<uint8_t>;

bytes cat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bytes first(const bytes& b, size_t n) {
  return {b.begin(), b.begin() + static_cast<long>(n)};
}

TEST(JpegHeaderWalk, EndsAfterTheFirstSosAndRefusesHeadersThatLeaveThePictureOrHoldNonMarkers) {
  const auto f = make_jpeg();
  auto too_long = f.bytes;
  too_long[4] = 0xFF; // APP0 length now runs far past the picture
  auto junk = f.bytes;
  junk[4 + 16] = 0x00; // the byte where the DQT marker should be
  const struct {
    const char* name;
    bytes picture;
    std::optional<size_t> scan;
  } cases[] = {
      {"whole picture", f.bytes, f.scan_offset},
      {"cut right after SOS", first(f.bytes, f.scan_offset), f.scan_offset},
      {"SOS first", {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0, 0x55, 0xFF, 0xD9}, 4 + 8},
      {"no marker after SOI", {0xFF, 0xD8, 0x12, 0x34}, 2},
      {"only SOI", {0xFF, 0xD8}, 2},
      {"empty", {}, 2},
      {"segment past the end", too_long, std::nullopt},
      {"non-marker byte", junk, std::nullopt},
      {"SOS past the end", {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x40, 1, 2}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(jpeg_scan_offset(c.picture), c.scan) << c.name;
  for (size_t keep = 3; keep < f.scan_offset; ++keep) {
    EXPECT_EQ(jpeg_scan_offset(first(f.bytes, keep)), std::nullopt) << "kept " << keep;
  }
}

TEST(JpegQuantTables, LumaThenChromaAsTheFrameHeaderSelectsThemWithTheirPrecision) {
  const struct {
    const char* name;
    jpeg_layout layout;
    int precision;
    size_t length;
  } cases[] = {
      {"8-bit", {}, 0, 128},
      {"16-bit luma", {.wide_luma = true}, 1, 192},
      {"both 16-bit in one DQT", {.wide_luma = true, .wide_chroma = true, .one_dqt_segment = true}, 3, 256},
      {"luma is table 1", {.wide_chroma = true, .swap_table_ids = true}, 2, 192},
      {"grey", {.components = 1}, 0, 64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto f = make_jpeg(c.layout);
    std::array<uint8_t, kJpegQtMaxBytes> out{};
    const auto t = jpeg_quant_tables(first(f.bytes, f.scan_offset), out);
    EXPECT_EQ(t.precision, c.precision);
    ASSERT_EQ(t.length, c.length);
    EXPECT_EQ(first(bytes(out.begin(), out.end()), c.length), first(cat(f.luma_table, f.chroma_table), c.length));
  }
  // A DQT entry cut short is not a table: the luma table is then missing.
  auto f = make_jpeg();
  const size_t luma_dqt = 2 + 18 + 69; // SOI, APP0, chroma DQT
  f.bytes[luma_dqt + 3] = 2 + 1 + 40;
  std::array<uint8_t, kJpegQtMaxBytes> out{};
  EXPECT_EQ(jpeg_quant_tables(first(f.bytes, luma_dqt + 2 + 2 + 1 + 40), out).length, 0);
}

class Rfc2435Picture : public ::testing::Test {
 protected:
  std::unique_ptr<rtp_thread> thread = std::make_unique<rtp_thread>();
  shm_blockinfo info{};

  int prepare(bytes& pic) {
    jpeg_fit fit = jpeg_fit::fits;
    return prepare_rfc2435_picture(thread.get(), info, pic.data(), static_cast<int>(pic.size()), &fit);
  }
};

TEST_F(Rfc2435Picture, ScanDataMovesToTheStartAndHeaderFieldsDescribeThePicture) {
  auto f = make_jpeg({.width = 640, .height = 480});
  const bytes scan(f.bytes.begin() + static_cast<long>(f.scan_offset), f.bytes.end());
  info.quality = 0x0132; // only the low byte is Q
  info.width = 640;
  info.height = 480;
  ASSERT_EQ(prepare(f.bytes), static_cast<int>(scan.size()));
  EXPECT_EQ(first(f.bytes, scan.size()), scan);
  const auto& t = *thread;
  EXPECT_EQ((std::vector<int>{t.jpeg_type_specific, t.jpeg_type, t.jpeg_q,
                              t.jpeg_width, t.jpeg_height, t.jpeg_qt_length}),
            (std::vector<int>{0, 1, 0x32, 80, 60, 0}));
}

TEST_F(Rfc2435Picture, HighAndReservedQCarryThePicturesOwnTablesAsQ255) {
  const struct {
    uint16_t quality;
    int sent_q;
  } cases[] = {{255, 255}, {128, 128}, {0, 255}, {100, 255}, {127, 255}, {99, 99}, {1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quality);
    auto f = make_jpeg({.wide_luma = true});
    info.quality = c.quality;
    ASSERT_GT(prepare(f.bytes), 0);
    EXPECT_EQ(thread->jpeg_q, c.sent_q);
    EXPECT_EQ(thread->jpeg_qt_mbz, 0);
    EXPECT_EQ(thread->jpeg_qt_precision, c.sent_q >= 128 ? 1 : 0);
    ASSERT_EQ(thread->jpeg_qt_length, c.sent_q >= 128 ? 192 : 0);
    EXPECT_EQ(bytes(thread->jpeg_qt_data, thread->jpeg_qt_data + thread->jpeg_qt_length),
              c.sent_q >= 128 ? cat(f.luma_table, f.chroma_table) : bytes{});
  }
}

TEST_F(Rfc2435Picture, TypeFollowsTheSamplingAndWhatRfc2435CannotDescribeIsRefused) {
  const struct {
    const char* name;
    jpeg_layout layout;
    jpeg_fit fit;
    int type;
    int restart_interval;
  } cases[] = {
      {"4:2:0", {}, jpeg_fit::fits, 1, 0},
      {"4:2:2", {.luma_sampling = 0x21}, jpeg_fit::fits, 0, 0},
      {"restart markers: the restart marker header's type", {.luma_sampling = 0x21, .restart_interval = 40},
       jpeg_fit::fits, 64, 40},
      {"4:4:4", {.luma_sampling = 0x11}, jpeg_fit::sampling, -1, 0},
      {"4:4:0", {.luma_sampling = 0x12}, jpeg_fit::sampling, -1, 0},
      {"4:2:2 as luma 2x2, chroma 1x2", {.chroma_sampling = 0x12}, jpeg_fit::sampling, -1, 0},
      {"grey", {.components = 1}, jpeg_fit::sampling, -1, 0},
      {"four components", {.components = 4}, jpeg_fit::sampling, -1, 0},
      {"own Huffman tables", {.custom_huffman = true}, jpeg_fit::huffman, -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = make_jpeg(c.layout);
    const auto form = jpeg_rfc2435_form(first(f.bytes, f.scan_offset));
    EXPECT_EQ(form.fit, c.fit);
    EXPECT_EQ(form.restart_interval, c.restart_interval);
    jpeg_fit fit = jpeg_fit::fits;
    const int n = prepare_rfc2435_picture(thread.get(), info, f.bytes.data(), static_cast<int>(f.bytes.size()), &fit);
    EXPECT_EQ(fit, c.fit);
    if (c.type < 0) {
      EXPECT_EQ(n, 0);
    } else {
      EXPECT_GT(n, 0);
      EXPECT_EQ(thread->jpeg_type, c.type);
      EXPECT_EQ(thread->jpeg_restart_interval, c.restart_interval);
    }
  }
  // A scan that codes chroma with the luma Huffman tables would decode wrongly.
  auto f = make_jpeg();
  f.bytes[f.scan_offset - 4] = 0x00; // third component's DC/AC selectors
  EXPECT_EQ(jpeg_rfc2435_form(first(f.bytes, f.scan_offset)).fit, jpeg_fit::huffman);
}

TEST_F(Rfc2435Picture, MissingSizeUsesTheFallbackAndSidesOver2040PixelsAreSentAsZero) {
  const struct {
    uint16_t width, height, fallback_width, fallback_height;
    int sent_width, sent_height;
  } cases[] = {{0, 0, 704, 576, 88, 72}, {2040, 2041, 0, 0, 255, 0}, {4104, 2048, 0, 0, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    auto f = make_jpeg();
    info.width = c.width;
    info.height = c.height;
    info.fallback_width = c.fallback_width;
    info.fallback_height = c.fallback_height;
    ASSERT_GT(prepare(f.bytes), 0);
    EXPECT_EQ(thread->jpeg_width, c.sent_width);
    EXPECT_EQ(thread->jpeg_height, c.sent_height);
  }
}

TEST_F(Rfc2435Picture, PicturesWithoutRealScanDataAreNotSent) {
  auto f = make_jpeg();
  for (size_t keep : {f.scan_offset, f.scan_offset + 1, size_t{40}}) {
    auto cut = first(f.bytes, keep);
    EXPECT_EQ(prepare(cut), 0) << "kept " << keep;
  }
  // A tiny picture whose scan data is shorter than its header is still a picture.
  auto tiny = make_jpeg({.scan_bytes = 6});
  EXPECT_EQ(prepare(tiny.bytes), 6);
}

}  // namespace
