// Concatenated JPEG files cut into pictures, with their size and Q.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "jpeg_units.h"

using namespace feeder;

namespace {

using Bytes = std::vector<uint8_t>;

void segment(Bytes& out, uint8_t marker, const Bytes& body) {
  const size_t len = body.size() + 2;
  out.insert(out.end(), {0xFF, marker, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
  out.insert(out.end(), body.begin(), body.end());
}

Bytes dqt(uint8_t id, const std::array<uint8_t, 64>& table) {
  Bytes body = {id};
  body.insert(body.end(), table.begin(), table.end());
  return body;
}

struct PictureSpec {
  uint16_t width = 320;
  uint16_t height = 240;
  std::vector<Bytes> dqts;
  std::array<uint8_t, 3> selectors = {0, 1, 1};
};

Bytes picture(const PictureSpec& layout) {
  Bytes out = {0xFF, 0xD8};
  segment(out, 0xE0, {'J', 'F', 'I', 'F', 0});
  for (const Bytes& d : layout.dqts) segment(out, 0xDB, d);
  Bytes sof = {8, static_cast<uint8_t>(layout.height >> 8), static_cast<uint8_t>(layout.height),
               static_cast<uint8_t>(layout.width >> 8), static_cast<uint8_t>(layout.width), 3};
  for (uint8_t c = 0; c < 3; ++c) sof.insert(sof.end(), {static_cast<uint8_t>(c + 1), 0x11, layout.selectors[c]});
  segment(out, 0xC0, sof);
  segment(out, 0xC4, {0x00, 0x01});
  segment(out, 0xDA, {1, 1, 0, 0, 63, 0});
  // Scan data with a stuffed 0xFF and a restart marker, which do not end it.
  out.insert(out.end(), {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56, 0xFF, 0xD9});
  return out;
}

PictureSpec standard(int q) {
  PictureSpec s;
  s.dqts = {dqt(0, rfc2435_table(q, false)), dqt(1, rfc2435_table(q, true))};
  return s;
}

uint16_t q_of(const PictureSpec& layout) {
  const auto pics = find_jpeg_pictures(picture(layout));
  return pics.size() == 1 ? pics[0].quality : 0;
}

TEST(FrameFeederJpeg, PicturesEndAtTheirEndMarkerAndCarryTheFrameHeaderSize) {
  PictureSpec small = standard(75);
  small.width = 64;
  small.height = 48;
  const Bytes a = picture(standard(75));
  const Bytes b = picture(small);
  Bytes input = a;
  input.insert(input.end(), {0x00, 0x11, 0x22});  // junk between files
  input.insert(input.end(), b.begin(), b.end());
  input.insert(input.end(), a.begin(), a.begin() + 40);  // cut-off last file

  std::vector<std::vector<size_t>> found;  // offset, length, width, height
  for (const auto& p : find_jpeg_pictures(input)) found.push_back({p.offset, p.length, p.width, p.height});
  EXPECT_EQ(found, (std::vector<std::vector<size_t>>{{0, a.size(), 320, 240}, {a.size() + 3, b.size(), 64, 48}}));

  const FeedPlan plan = plan_jpeg(input);
  ASSERT_EQ(plan.blocks.size(), 2u);
  EXPECT_EQ(plan.blocks[1].meta.width, 64);
  EXPECT_EQ(plan.blocks[1].meta.quality, 75);
  EXPECT_EQ(plan.frames, 2u);
}

TEST(FrameFeederJpeg, CorruptSegmentLengthSkipsOnlyThatPicture) {
  Bytes bad = picture(standard(50));
  bad[4] = 0xF0;  // APP0 length far past the end of the picture and the input
  const Bytes good = picture(standard(50));
  Bytes input = bad;
  input.insert(input.end(), good.begin(), good.end());
  const auto pics = find_jpeg_pictures(input);
  ASSERT_EQ(pics.size(), 1u);
  EXPECT_EQ(pics[0].offset, bad.size());
}

TEST(FrameFeederJpeg, ScaledTablesMatchWhatTheEncoderLibraryWrites) {
  // Q 50 is the standard table itself; the others scaled as a common JPEG
  // library does ((entry * scale + 50) / 100), clamped to 1..255.
  struct Row {
    int q;
    bool chroma;
    std::vector<int> at;  // entries 0, 1, 2, 3 and 63
  };
  for (const Row& r : {Row{50, false, {16, 11, 12, 14, 99}}, Row{75, false, {8, 6, 6, 7, 50}},
                       Row{75, true, {9, 9, 9, 12, 50}}, Row{1, false, {255, 255, 255, 255, 255}},
                       Row{99, true, {1, 1, 1, 1, 2}}}) {
    const auto t = rfc2435_table(r.q, r.chroma);
    EXPECT_EQ((std::vector<int>{t[0], t[1], t[2], t[3], t[63]}), r.at) << "Q " << r.q << (r.chroma ? " chroma" : "");
  }
}

TEST(FrameFeederJpeg, QualityIsTheQOfScaledStandardTablesElse255) {
  for (int q : {5, 10, 50, 75, 90, 98}) EXPECT_EQ(q_of(standard(q)), q) << "Q " << q;

  PictureSpec one_off = standard(75);
  one_off.dqts[1][10] ^= 1;
  PictureSpec mixed = standard(75);  // luma and chroma scaled differently
  mixed.dqts[1] = dqt(1, rfc2435_table(80, true));
  PictureSpec wide = standard(75);  // a 16-bit table besides
  wide.dqts.push_back(Bytes(129, 1));
  wide.dqts.back()[0] = 0x10;
  PictureSpec shared = standard(75);  // chroma quantised with the luma table
  shared.selectors = {0, 0, 0};
  for (const PictureSpec& custom : {one_off, mixed, wide, shared, PictureSpec{}}) {
    EXPECT_EQ(q_of(custom), kCustomTablesQ) << custom.dqts.size() << " tables";
  }

  // Both tables in one segment count the same as two segments.
  PictureSpec combined;
  Bytes both = dqt(0, rfc2435_table(60, false));
  const Bytes chroma = dqt(1, rfc2435_table(60, true));
  both.insert(both.end(), chroma.begin(), chroma.end());
  combined.dqts = {both};
  EXPECT_EQ(q_of(combined), 60);
}

}  // namespace
