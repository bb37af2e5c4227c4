#include "media/jpeg_pacing.h"

#include <gtest/gtest.h>

#include <string>

#include "media/frame_rate.h"

namespace {

// 'S' for a sent picture, 'D' for a dropped one.
std::string pattern(float source, float target, int pictures) {
  int drop_count = 0;
  std::string out;
  for (int i = 0; i < pictures; ++i) out += jpeg_pace(source, target, &drop_count) ? 'S' : 'D';
  return out;
}

TEST(JpegPacing, ThirtyTowardsLowerTargetsGivesTheDocumentedPatterns) {
  EXPECT_EQ(pattern(30, 10, 9), "DDSDDSDDS");
  EXPECT_EQ(pattern(30, 20, 9), "SSDSSDSSD");
  EXPECT_EQ(pattern(30, 15, 6), "SDSDSD");
}

TEST(JpegPacing, ThirtyTowardsTwentyFiveSendsFourThenDropsOne) {
  // Single precision makes 1 / (30 / 25 - 1) truncate to 4, not 5.
  EXPECT_EQ(pattern(30, 25, 10), "SSSSDSSSSD");
}

TEST(JpegPacing, SevenAndAHalfTowardsOneSendsEveryEighth) {
  EXPECT_EQ(pattern(jpeg_source_rate(kRateCode7_5), 1, 16), "DDDDDDDSDDDDDDDS");
}

TEST(JpegPacing, NegativeTargetSendsOnePictureEveryThatManySeconds) {
  int drop_count = 0;
  int sent_at[2] = {-1, -1};
  int sent = 0;
  for (int i = 0; i < 300; ++i) {
    if (jpeg_pace(30, jpeg_target_rate(-5, 30), &drop_count)) {
      ASSERT_LT(sent, 2);
      sent_at[sent++] = i;
    }
  }
  EXPECT_EQ(sent, 2);
  EXPECT_EQ(sent_at[1] - sent_at[0], 150);
}

TEST(JpegPacing, ZeroTargetDropsEveryPictureAndSlowSourcesAreAllSent) {
  EXPECT_EQ(pattern(30, jpeg_target_rate(0, 30), 50), std::string(50, 'D'));
  EXPECT_EQ(pattern(10, 25, 5), "SSSSS");
  EXPECT_EQ(pattern(25, 25, 5), "SSSSS");
}

TEST(JpegPacing, TargetIsTheOptionCappedBySessionRateWithSevenMeaningSevenAndAHalf) {
  EXPECT_FLOAT_EQ(jpeg_target_rate(7, 7), 7.5f);
  EXPECT_FLOAT_EQ(jpeg_target_rate(10, 30), 10.0f);
  EXPECT_FLOAT_EQ(jpeg_target_rate(40, 30), 30.0f);
  EXPECT_FLOAT_EQ(jpeg_target_rate(0, 25), 0.0f);
  EXPECT_FLOAT_EQ(jpeg_target_rate(-5, 30), -5.0f);
}

TEST(FramePeriod, RateCodesGiveNinetyKilohertzSteps) {
  EXPECT_EQ(video_frame_period(kRateCode7_5), 12000u);
  EXPECT_EQ(video_frame_period(25), 3600u);
  EXPECT_EQ(video_frame_period(30), 3000u);
  EXPECT_EQ(jpeg_frame_period(kRateCodeHalf), 180000u);
  EXPECT_EQ(video_frame_period(kRateCodeHalf), 90000u / 254);
  // A block without a rate is timed as 30 frames/s everywhere.
  EXPECT_EQ(video_frame_period(kRateCodeUnknown), 3000u);
  EXPECT_EQ(jpeg_frame_period(kRateCodeUnknown), 3000u);
  EXPECT_FLOAT_EQ(jpeg_source_rate(kRateCodeUnknown), 30.0f);
}

}  // namespace
