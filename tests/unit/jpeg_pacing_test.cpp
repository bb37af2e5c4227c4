#include "media/jpeg_pacing.h"

#include <gtest/gtest.h>

#include <string>

#include "media/frame_rate.h"

namespace {

// 'S' for a sent picture, 'D' for a dropped one.
std::string pattern(float source, float target, size_t pictures) {
  int drop_count = 0;
  std::string out;
  for (size_t i = 0; i < pictures; ++i) out += jpeg_pace(source, target, &drop_count) ? 'S' : 'D';
  return out;
}

TEST(JpegPacing, SourceRateTowardsTargetGivesTheDocumentedPatterns) {
  const struct {
    float source, target;
    std::string expected;
  } cases[] = {
      {30, 10, "DDSDDSDDS"},
      {30, 20, "SSDSSDSSD"},
      {30, 15, "SDSDSD"},
      // Single precision makes 1 / (30 / 25 - 1) truncate to 4, not 5.
      {30, 25, "SSSSDSSSSD"},
      {jpeg_source_rate(kRateCode7_5), 1, "DDDDDDDSDDDDDDDS"},
      {30, jpeg_target_rate(0, 30), std::string(50, 'D')},
      {10, 25, "SSSSS"},
      {25, 25, "SSSSS"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pattern(c.source, c.target, c.expected.size()), c.expected) << c.source << " towards " << c.target;
  }
}

TEST(JpegPacing, NegativeTargetSendsOnePictureEveryThatManySeconds) {
  const std::string sent = pattern(30, jpeg_target_rate(-5, 30), 300);
  EXPECT_EQ(sent, std::string(149, 'D') + 'S' + std::string(149, 'D') + 'S');
}

TEST(JpegPacing, TargetIsTheOptionCappedBySessionRateWithSevenMeaningSevenAndAHalf) {
  EXPECT_FLOAT_EQ(jpeg_target_rate(7, 7), 7.5f);
  EXPECT_FLOAT_EQ(jpeg_target_rate(10, 30), 10.0f);
  EXPECT_FLOAT_EQ(jpeg_target_rate(40, 30), 30.0f);
  EXPECT_FLOAT_EQ(jpeg_target_rate(-5, 30), -5.0f);
}

TEST(FramePeriod, HalfFramePerSecondIsJpegOnlyAndNoRateCountsAsThirty) {
  EXPECT_EQ(jpeg_frame_period(kRateCodeHalf), 180000u);
  EXPECT_EQ(video_frame_period(kRateCodeHalf), 90000u / 254);
  EXPECT_EQ(jpeg_frame_period(kRateCodeUnknown), 3000u);
  EXPECT_FLOAT_EQ(jpeg_source_rate(kRateCodeUnknown), 30.0f);
}

}  // namespace
