// Clips cut into frame-store blocks as the encoder writes them: H.264 byte
// streams (live and playback stores), MPEG-4 elementary streams and
// concatenated JPEG files.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "h264_units.h"
#include "jpeg_units.h"
#include "mpeg4_units.h"

using namespace feeder;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSps = {0x67, 0x42, 0x00, 0x1E, 0xAB};
const Bytes kSps2 = {0x67, 0x42, 0x00, 0x1F, 0xCD};
const Bytes kPps = {0x68, 0xCE, 0x38, 0x80};
const Bytes kSei = {0x06, 0x05, 0x01, 0x80};
const Bytes kAud = {0x09, 0xF0};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x21};     // first_mb_in_slice 0
const Bytes kIdrRest = {0x65, 0x44, 0x84, 0x21}; // a later slice of the same picture
const Bytes kSlice = {0x41, 0x9A, 0x02, 0x03};   // first_mb_in_slice 0
const Bytes kSliceRest = {0x41, 0x40, 0x02, 0x03};
const Bytes kBigSei = [] {
  Bytes sei(600, 0x55);
  sei[0] = 0x06;
  return sei;
}();

const Bytes kVos = {0, 0, 1, 0xB0, 0x01};
const Bytes kVo = {0, 0, 1, 0xB5, 0x09};
const Bytes kVoId = {0, 0, 1, 0x00};
const Bytes kVol = {0, 0, 1, 0x20, 0x08, 0xC8, 0x0D};
const Bytes kVol2 = {0, 0, 1, 0x21, 0x09, 0x77};
const Bytes kUserData = {0, 0, 1, 0xB2, 'L', 'a', 'v'};
const Bytes kGov = {0, 0, 1, 0xB3, 0x00, 0x10};
const Bytes kIVop = {0, 0, 1, 0xB6, 0x10, 0xAA, 0xBB}; // coding type 0
const Bytes kPVop = {0, 0, 1, 0xB6, 0x51, 0xCC};       // coding type 1
const Bytes kVosEnd = {0, 0, 1, 0xB1};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The NAL units, each after a start code: long ones unless asked for short.
Bytes nals(std::initializer_list<Bytes> units, bool three_byte_codes = false) {
  Bytes out;
  for (const Bytes& nal : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.erase(out.end() - (three_byte_codes ? 4 : 0), out.end() - (three_byte_codes ? 3 : 0));
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
}

enum class Kind { live_h264, playback_h264, mpeg4 };

// One character per block: 'K' key frame (type 8), 'I' MPEG-4 I-VOP (type
// 15), '-' other; '|' before a block that starts a frame.
std::string layout(const FeedPlan& plan) {
  std::string out;
  for (const PlannedBlock& b : plan.blocks) {
    const int type = b.meta.frame_type;
    out += std::string(b.frame_start ? "|" : "") + (type == 8 ? 'K' : type == 15 ? 'I' : type == 0 ? '-' : '?');
  }
  return out;
}

TEST(FrameFeederVideo, ClipsBecomeTheBlocksAnEncoderWrites) {
  struct Row {
    const char* what;
    Kind kind;
    Bytes input;
    std::vector<Bytes> blocks; // none: not compared
    std::string layout;
  };
  const std::vector<Row> rows = {
      {"junk, short and long start codes and trailing zeros: long codes only", Kind::live_h264,
       concat({{0xAA, 0xBB}, nals({kSps}, true), nals({kPps}), nals({kIdr}, true), {0, 0}}),
       {nals({kSps}), nals({kPps}), nals({kIdr})}, "|K--"},
      {"delimiters dropped, a leading SEI moves behind the parameter sets", Kind::live_h264,
       nals({kAud, kSei, kSps, kPps, kIdr, kAud, kSlice, kAud, kSlice}, true),
       {nals({kSps}), nals({kPps}), nals({kSei}), nals({kIdr}), nals({kSlice}), nals({kSlice})}, "|K---|-|-"},
      {"a key frame without parameter sets repeats the latest; unchanged ones elsewhere dropped", Kind::live_h264,
       nals({kSps, kPps, kIdr, kSps, kPps, kSlice, kSps2, kSlice, kIdr, kSlice}),
       {nals({kSps}), nals({kPps}), nals({kIdr}), nals({kSlice}), nals({kSps2}), nals({kSlice}), nals({kSps2}),
        nals({kPps}), nals({kIdr}), nals({kSlice})},
       "|K--|-|--|K--|-"},
      {"slices of one picture stay one frame", Kind::live_h264,
       nals({kSps, kPps, kIdr, kIdrRest, kSlice, kSliceRest, kSlice}), {}, "|K---|--|-"},
      {"playback blocks hold access units; a unit ending past the split window ends one", Kind::playback_h264,
       nals({kSps, kPps, kSei, kIdr, kSlice, kSps, kPps, kBigSei, kIdr}),
       {nals({kSps, kPps, kSei, kIdr}), nals({kSlice}), nals({kSps, kPps, kBigSei}), nals({kIdr})}, "|K|-|K-"},
      {"at most four units share a playback block", Kind::playback_h264, nals({kSps, kPps, kSei, kSei, kIdr}),
       {nals({kSps, kPps, kSei, kSei}), nals({kIdr})}, "|K-"},
      {"every I-VOP carries the configuration headers", Kind::mpeg4,
       concat({{0x7F, 0x00}, kVos, kVo, kVoId, kVol, kUserData, kIVop, kPVop, kPVop, kGov, kIVop, kPVop, kVosEnd}),
       {concat({kVos, kVo, kVoId, kVol, kUserData, kIVop}), kPVop, kPVop, concat({kVos, kVo, kVoId, kVol, kGov, kIVop}),
        kPVop},
       "|I|-|-|I|-"},
      {"a new configuration replaces the repeated one", Kind::mpeg4, concat({kVos, kVol, kIVop, kVos, kVol2, kIVop, kIVop}),
       {concat({kVos, kVol, kIVop}), concat({kVos, kVol2, kIVop}), concat({kVos, kVol2, kIVop})}, "|I|I|I"},
      {"no VOP, no block", Kind::mpeg4, concat({kVos, kVol, kVosEnd}), {}, ""},
      {"nothing but zeros", Kind::live_h264, {0, 0, 0, 0}, {}, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const FeedPlan plan = r.kind == Kind::mpeg4 ? plan_mpeg4(r.input) : plan_h264(r.input, r.kind == Kind::playback_h264);
    EXPECT_EQ(layout(plan), r.layout);
    EXPECT_EQ(plan.frames, static_cast<uint64_t>(std::count(r.layout.begin(), r.layout.end(), '|')));
    if (r.blocks.empty()) continue;
    std::vector<Bytes> blocks;
    for (const PlannedBlock& b : plan.blocks) {
      blocks.emplace_back(block_size(b));
      assemble_block(b, r.input, blocks.back());
    }
    EXPECT_EQ(blocks, r.blocks);
  }
}

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

PictureSpec standard(int q, uint16_t width = 320, uint16_t height = 240) {
  PictureSpec s{width, height, {dqt(0, rfc2435_table(q, false)), dqt(1, rfc2435_table(q, true))}};
  return s;
}

TEST(FrameFeederJpeg, PicturesEndAtTheirEndMarkerAndCarryTheirSizeAndQ) {
  const Bytes a = picture(standard(75));
  const Bytes b = picture(standard(75, 64, 48));
  Bytes corrupt = picture(standard(50));
  corrupt[4] = 0xF0; // APP0 length far past the end of the picture and the input
  // Junk between files, a picture with a corrupt segment and a cut-off last file are skipped.
  const Bytes input = concat({a, {0x00, 0x11, 0x22}, corrupt, b, Bytes(a.begin(), a.begin() + 40)});
  std::vector<std::vector<size_t>> found; // offset, length, width, height
  for (const auto& p : find_jpeg_pictures(input)) found.push_back({p.offset, p.length, p.width, p.height});
  EXPECT_EQ(found, (std::vector<std::vector<size_t>>{{0, a.size(), 320, 240},
                                                     {a.size() + 3 + corrupt.size(), b.size(), 64, 48}}));
  const FeedPlan plan = plan_jpeg(input);
  ASSERT_EQ(plan.blocks.size(), 2u);
  EXPECT_EQ(plan.blocks[1].meta.width, 64);
  EXPECT_EQ(plan.blocks[1].meta.quality, 75);
  EXPECT_EQ(plan.frames, 2u);
}

TEST(FrameFeederJpeg, ScaledTablesMatchWhatTheEncoderLibraryWrites) {
  // Q 50 is the standard table itself; the others scaled as a common JPEG
  // library does ((entry * scale + 50) / 100), clamped to 1..255.
  struct Row {
    int q;
    bool chroma;
    std::vector<int> at; // entries 0, 1, 2, 3 and 63
  };
  for (const Row& r : {Row{50, false, {16, 11, 12, 14, 99}}, Row{75, false, {8, 6, 6, 7, 50}},
                       Row{75, true, {9, 9, 9, 12, 50}}, Row{1, false, {255, 255, 255, 255, 255}},
                       Row{99, true, {1, 1, 1, 1, 2}}}) {
    const auto t = rfc2435_table(r.q, r.chroma);
    EXPECT_EQ((std::vector<int>{t[0], t[1], t[2], t[3], t[63]}), r.at) << "Q " << r.q << (r.chroma ? " chroma" : "");
  }
}

TEST(FrameFeederJpeg, QualityIsTheQOfScaledStandardTablesElse255) {
  const auto q_of = [](const PictureSpec& layout) {
    const auto pics = find_jpeg_pictures(picture(layout));
    return pics.size() == 1 ? pics[0].quality : 0;
  };
  for (int q : {5, 10, 50, 75, 90, 98}) EXPECT_EQ(q_of(standard(q)), q) << "Q " << q;

  PictureSpec one_off = standard(75);
  one_off.dqts[1][10] ^= 1;
  PictureSpec mixed = standard(75); // luma and chroma scaled differently
  mixed.dqts[1] = dqt(1, rfc2435_table(80, true));
  PictureSpec wide = standard(75); // a 16-bit table besides
  wide.dqts.push_back(Bytes(129, 1));
  wide.dqts.back()[0] = 0x10;
  PictureSpec shared = standard(75); // chroma quantised with the luma table
  shared.selectors = {0, 0, 0};
  for (const PictureSpec& custom : {one_off, mixed, wide, shared, PictureSpec{}}) {
    EXPECT_EQ(q_of(custom), kCustomTablesQ) << custom.dqts.size() << " tables";
  }
  // Both tables in one segment count the same as two segments.
  PictureSpec combined;
  combined.dqts = {concat({dqt(0, rfc2435_table(60, false)), dqt(1, rfc2435_table(60, true))})};
  EXPECT_EQ(q_of(combined), 60);
}

} // namespace
