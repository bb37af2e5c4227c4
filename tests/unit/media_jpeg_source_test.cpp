#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <vector>

#include "helpers/media_jpeg.h"
#include "helpers/media_store.h"
#include "media/sources.h"
#include "media/vx_jpeg_rtp.h"

namespace {

using media_test::block_info;
using media_test::channel_kind;
using media_test::make_jpeg;
using media_test::temp_store;

shm_blockinfo picture_info() {
  auto info = block_info();
  info.quality = 50;
  info.width = 320;
  info.height = 240;
  return info;
}

class JpegSource : public media_test::source_test {
 protected:
  void SetUp() override {
    vx_jpeg_source = {};
    thread->framerate = 30;
    start(vx_jpeg_thread_init, 0);
  }

  int open_with_target(float target) {
    const int result = open();
    // As if the session daemon had just been asked.
    vx_jpeg_source.rate_queried = true;
    clock_gettime(CLOCK_MONOTONIC, &vx_jpeg_source.last_rate_query);
    vx_jpeg_source.target_rate = target;
    return result;
  }
};

TEST_F(JpegSource, DroppedAndUnsendablePicturesStillMoveTheClock) {
  thread->enable_rfc2435 = true;
  temp_store store(channel_kind::video, 0, kCodecJpeg);
  const auto pic = make_jpeg();
  const std::vector<uint8_t> header_only(pic.bytes.begin(), pic.bytes.begin() + static_cast<long>(pic.scan_offset));
  store.publish(pic.bytes, picture_info());
  ASSERT_EQ(open_with_target(15), 0);
  EXPECT_GT(get(), 0);
  store.publish(pic.bytes, picture_info());
  EXPECT_EQ(get(), 0); // paced out: one in two
  store.publish(header_only, picture_info());
  EXPECT_EQ(get(), 0);
  store.publish(pic.bytes, picture_info());
  EXPECT_GT(get(), 0); // the header-only picture did not count for pacing
  for (int i = 0; i < 2; ++i) {
    store.publish(make_jpeg({.luma_sampling = 0x11}).bytes, picture_info());
    EXPECT_EQ(get(), 0);
  }
  EXPECT_EQ(log.messages(), std::vector<std::string>{"vx_jpeg_rtp : JPEG sampling not supported by RFC 2435, pictures not sent"});
  EXPECT_EQ(thread->rtp_timestamp, 6 * 3000u);
  EXPECT_EQ(thread->rtp_payload_type, 26);
}

TEST_F(JpegSource, ReaderThatFellBehindGoesOnAtTheNewestPictureAndAFailedReadIsAFailure) {
  temp_store store(channel_kind::video, 0, kCodecJpeg);
  store.publish(make_jpeg().bytes, picture_info());
  ASSERT_EQ(open_with_target(30), 0);
  ASSERT_GT(get(), 0);
  for (int i = 0; i < 40; ++i) store.publish(make_jpeg({.scan_bytes = 50}).bytes, picture_info());
  const auto newest = make_jpeg({.scan_bytes = 333});
  store.publish(newest.bytes, picture_info());
  EXPECT_EQ(got(get()), newest.bytes);
  EXPECT_EQ(get(), -1); // nothing new within the store's wait
  const auto messages = log.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rfind("vx_jpeg_rtp : read delay [rp=1, wp=", 0), 0u) << messages[0];
  EXPECT_EQ(messages[1], "vx_jpeg_rtp : shm_read_data_blockinfo error");
}

TEST_F(JpegSource, WrongCodecOrMissingStoreFailsTheOpenAfterElevenTriesASecondApart) {
  {
    temp_store store(channel_kind::video, 0, kCodecH264);
    EXPECT_EQ(open(), -1);
  }
  media_test::missing_store none(channel_kind::video, 0);
  EXPECT_EQ(open(), -1);
  EXPECT_EQ(log.messages(),
            media_test::given_up_messages("vx_jpeg_rtp", "codec unmatch. requested=2, channel[0]=1, retry={}",
                                          "shm_attach error[No such file or directory]"));
  EXPECT_EQ(sleeps.count(), 20);
}

}  // namespace
