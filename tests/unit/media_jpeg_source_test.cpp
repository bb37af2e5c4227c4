#include <gtest/gtest.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "helpers/media_jpeg.h"
#include "helpers/media_log.h"
#include "helpers/media_store.h"
#include "media/sources.h"
#include "media/vx_jpeg_rtp.h"
#include "stream/rtp_thread.h"

namespace {

using media_test::block_info;
using media_test::channel_kind;
using media_test::make_jpeg;
using media_test::temp_store;

shm_blockinfo picture_info(uint8_t rate_code = 30, uint16_t quality = 50) {
  auto info = block_info(0, rate_code);
  info.quality = quality;
  info.width = 320;
  info.height = 240;
  return info;
}

class JpegSource : public ::testing::Test {
 protected:
  void SetUp() override {
    vx_jpeg_source = {};
    thread->channel = 0;
    thread->running = 1;
    thread->framerate = 30;
    vx_jpeg_thread_init(thread.get());
  }

  int open_with_target(float target) {
    const int result = vx_jpeg_open_data_src(thread.get());
    // As if the session daemon had just been asked.
    vx_jpeg_source.rate_queried = true;
    clock_gettime(CLOCK_MONOTONIC, &vx_jpeg_source.last_rate_query);
    vx_jpeg_source.target_rate = target;
    return result;
  }
  int get(int size = 16 * 1024) { return vx_jpeg_get_data(thread.get(), buff.data(), size); }
  std::vector<uint8_t> got(int n) const { return {buff.begin(), buff.begin() + n}; }

  std::unique_ptr<rtp_thread> thread = std::make_unique<rtp_thread>();
  std::vector<uint8_t> buff = std::vector<uint8_t>(16 * 1024);
  media_test::log_capture log;
  media_test::fast_sleeps sleeps;
};

TEST_F(JpegSource, HeaderInitKeepsRfc2435AndStartsTheJpegFields) {
  thread->enable_rfc2435 = true;
  thread->jpeg_q = 9;
  thread->jpeg_offset = 5;
  ASSERT_EQ(vx_jpeg_thread_init(thread.get()), 0);
  EXPECT_TRUE(thread->enable_rfc2435);
  ASSERT_EQ(thread->init_rtp_header(thread.get()), 0);
  EXPECT_EQ(thread->rtp_payload_type, 26);
  EXPECT_EQ(thread->jpeg_type, 1);
  EXPECT_EQ(thread->jpeg_q, 0);
  EXPECT_EQ(thread->jpeg_offset, 0u);
}

TEST_F(JpegSource, WholeFileIsTheUnitWithRfc2435Off) {
  temp_store store(channel_kind::video, 0, kCodecJpeg);
  const auto pic = make_jpeg();
  store.publish(pic.bytes, picture_info(25));
  ASSERT_EQ(open_with_target(30), 0);
  const int n = get();
  ASSERT_EQ(n, static_cast<int>(pic.bytes.size()));
  EXPECT_EQ(got(n), pic.bytes);
  EXPECT_EQ(thread->rtp_timestamp, 3600u);
  EXPECT_EQ(thread->rtp_payload_type, 26);
}

TEST_F(JpegSource, Rfc2435UnitIsTheScanDataWithThePicturesTables) {
  thread->enable_rfc2435 = true;
  temp_store store(channel_kind::video, 0, kCodecJpeg);
  const auto pic = make_jpeg({.width = 640, .height = 480});
  auto info = picture_info(30, 255);
  info.width = 640;
  info.height = 480;
  store.publish(pic.bytes, info);
  ASSERT_EQ(open_with_target(30), 0);
  const int n = get();
  ASSERT_EQ(n, static_cast<int>(pic.bytes.size() - pic.scan_offset));
  EXPECT_EQ(got(n), std::vector<uint8_t>(pic.bytes.begin() + static_cast<long>(pic.scan_offset), pic.bytes.end()));
  EXPECT_EQ(thread->jpeg_q, 255);
  EXPECT_EQ(thread->jpeg_width, 80);
  EXPECT_EQ(thread->jpeg_height, 60);
  EXPECT_EQ(thread->jpeg_qt_length, 128);
}

TEST_F(JpegSource, DroppedAndUnsendablePicturesStillMoveTheClock) {
  thread->enable_rfc2435 = true;
  temp_store store(channel_kind::video, 0, kCodecJpeg);
  const auto pic = make_jpeg();
  store.publish(pic.bytes, picture_info());
  ASSERT_EQ(open_with_target(15), 0);
  EXPECT_GT(get(), 0);
  store.publish(pic.bytes, picture_info());
  EXPECT_EQ(get(), 0); // paced out: one in two
  const std::vector<uint8_t> header_only(pic.bytes.begin(), pic.bytes.begin() + static_cast<long>(pic.scan_offset));
  store.publish(header_only, picture_info());
  EXPECT_EQ(get(), 0);
  store.publish(pic.bytes, picture_info());
  EXPECT_GT(get(), 0); // the header-only picture did not count for pacing
  EXPECT_EQ(thread->rtp_timestamp, 4 * 3000u);
}

TEST_F(JpegSource, ReaderThatFellBehindGoesOnAtTheNewestPicture) {
  temp_store store(channel_kind::video, 0, kCodecJpeg);
  store.publish(make_jpeg().bytes, picture_info());
  ASSERT_EQ(open_with_target(30), 0);
  ASSERT_GT(get(), 0);
  for (int i = 0; i < 40; ++i) store.publish(make_jpeg({.scan_bytes = 50}).bytes, picture_info());
  const auto newest = make_jpeg({.scan_bytes = 333});
  store.publish(newest.bytes, picture_info());
  const int n = get();
  EXPECT_EQ(got(n), newest.bytes);
  EXPECT_EQ(log.matching("vx_jpeg_rtp : ").size(), 1u);
  EXPECT_EQ(log.matching(" : read delay [rp=1, wp=").size(), 1u);
}

TEST_F(JpegSource, OversizePictureAndFailedReadAreFailures) {
  temp_store store(channel_kind::video, 0, kCodecJpeg);
  const auto pic = make_jpeg({.scan_bytes = 1000});
  store.publish(pic.bytes, picture_info());
  ASSERT_EQ(open_with_target(30), 0);
  const int size = static_cast<int>(pic.bytes.size()) - 1;
  EXPECT_EQ(get(size), -1);
  EXPECT_EQ(log.matching(" : size over[" + std::to_string(pic.bytes.size()) + " > " + std::to_string(size) + "]").size(), 1u);
  EXPECT_EQ(get(), -1); // nothing new within the store's wait
  EXPECT_EQ(log.matching("  : shm_read_data_blockinfo error").size(), 1u);
}

TEST_F(JpegSource, WrongCodecOrMissingStoreFailsTheOpenAfterTheRetries) {
  {
    temp_store store(channel_kind::video, 0, kCodecH264);
    EXPECT_EQ(vx_jpeg_open_data_src(thread.get()), -1);
    EXPECT_EQ(log.matching(" : codec unmatch. requested=2, channel[0]=1, retry=").size(), 11u);
  }
  media_test::missing_store none(channel_kind::video, 0);
  EXPECT_EQ(vx_jpeg_open_data_src(thread.get()), -1);
  const auto attempts = log.matching(" : shm_attach error[No such file or directory]");
  ASSERT_EQ(attempts.size(), 11u);
  EXPECT_EQ(attempts[0].substr(attempts[0].size() - 1), "]");
  EXPECT_EQ(log.matching(" : shm attach timeout error").size(), 1u);
  EXPECT_EQ(sleeps.count(), 20);
}

}  // namespace
