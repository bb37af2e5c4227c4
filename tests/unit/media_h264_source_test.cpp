#include <gtest/gtest.h>

#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "helpers/media_store.h"
#include "media/sources.h"
#include "media/vx_h264_rtp.h"

namespace {

using media_test::block_info;
using media_test::channel_kind;
using media_test::nal_block;
using media_test::temp_store;

constexpr uint8_t kKey = 8;
constexpr uint8_t kSps = 0x67, kPps = 0x68, kIdr = 0x65, kSlice = 0x41;

class H264Source : public media_test::source_test {
 protected:
  void SetUp() override {
    vx_h264_source = {};
    start(vx_h264_thread_init, 1);
  }
};

TEST_F(H264Source, StartsAtTheNextKeyFrameStepsTheClockOncePerPictureAndKnowsItsLastSlice) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSlice, 40, 1), block_info());
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(thread->data_size, 16 * 1024);

  // Body seeds of 0x80 and up start a picture (first_mb_in_slice 0), lower
  // ones continue it. Rate code 0 (none given) counts as 30 frames/s, 64 as
  // 7.5. `continued`: the next block, in the store already, is a further
  // slice of the picture, so this one's packets leave the marker to it.
  const struct {
    std::vector<uint8_t> block;
    shm_blockinfo info;
    int stamp;
    bool continued = false;
  } gop[] = {
      {nal_block(kSps, 10, 2), block_info(kKey), 3000},   {nal_block(kPps, 4, 3), block_info(), 3000},
      {nal_block(kIdr, 900, 0x84), block_info(), 3000},    {nal_block(kSlice, 300, 0x85), block_info(0, 0), 6000},
      {nal_block(kSlice, 30, 0x86), block_info(0, 64), 18000},
      // Another encoder: an IDR without an SPS in front, pictures of two slices.
      {nal_block(kIdr, 50, 0x87), block_info(kKey), 21000, true}, {nal_block(kIdr, 50, 0x12), block_info(), 21000},
      {nal_block(kSlice, 50, 0x88), block_info(), 24000, true},   {nal_block(kSlice, 50, 0x13), block_info(), 24000},
  };
  // The reader is looking at the newest (non-key) block when the key frame
  // arrives; the rest is in the store before it reads on.
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    store.publish(nal_block(kSlice, 40, 9), block_info());
    store.publish(gop[0].block, gop[0].info);
  });
  std::vector<int> stamps, expected;
  for (const auto& row : gop) {
    ASSERT_EQ(got(get()), row.block);
    if (&row == gop) {
      producer.join();
      for (const auto& later : std::span(gop).subspan(1)) store.publish(later.block, later.info);
      store.publish(nal_block(kSlice, 10, 0x89), block_info()); // what tells the last slice it is one
    }
    stamps.push_back(static_cast<int>(thread->rtp_timestamp));
    expected.push_back(row.stamp);
    EXPECT_EQ(thread->unit_continues_picture, row.continued) << stamps.size();
  }
  EXPECT_EQ(stamps, expected);
  EXPECT_EQ(thread->rtp_payload_type, 96);
  EXPECT_EQ(vx_h264_close_data_src(thread.get()), 0);
}

TEST_F(H264Source, ReaderThatFellBehindRestartsAtTheNewestKeyFrame) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSps, 10, 1), block_info(kKey));
  ASSERT_EQ(open(), 0);
  ASSERT_GT(get(), 0);
  for (int i = 0; i < 40; ++i) store.publish(nal_block(kSlice, 50, static_cast<uint8_t>(i)), block_info());
  const auto newest = nal_block(kSps, 12, 77);
  store.publish(newest, block_info(kKey));

  EXPECT_EQ(got(get()), newest);
  const auto messages = log.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("vx_h264_rtp : read delay [rp=1, wp=", 0), 0u) << messages[0];
}

TEST_F(H264Source, StoppingWhileLookingForAKeyFrameReturnsNothing) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSlice, 10), block_info());
  ASSERT_EQ(open(), 0);
  thread->running = 0;
  EXPECT_EQ(get(), 0);
  EXPECT_EQ(vx_h264_source.reader.synced, 0);
}

TEST_F(H264Source, OversizeBlockAndFailedReadAreFailures) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSps, 995), block_info(kKey));
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(get(999), -1);
  EXPECT_EQ(get(), -1); // nothing more comes within the store's wait
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"vx_h264_rtp : size over[1000 > 999]",
                                                      "vx_h264_rtp : shm_read_data_blockinfo error, data_length=0"}));
}

TEST_F(H264Source, ChannelWhoseCodecTurnsRightDuringTheChecksOpens) {
  temp_store store(channel_kind::video, 1, kCodecMpeg4);
  media_test::fast_sleeps switching([&store](int n) {
    if (n == 3) store.producer().set_codec(kCodecH264);
  });
  EXPECT_EQ(open(), 0);
  EXPECT_EQ(log.matching("codec unmatch").size(), 3u);
}

TEST_F(H264Source, WrongCodecOrMissingStoreFailsTheOpenAfterElevenTriesASecondApart) {
  {
    temp_store store(channel_kind::video, 1, kCodecJpeg);
    EXPECT_EQ(open(), -1);
  }
  media_test::missing_store none(channel_kind::video, 1);
  EXPECT_EQ(open(), -1);
  EXPECT_EQ(log.messages(), media_test::given_up_messages(
                                "vx_h264_rtp", "codec unmatch. requested=1, channel[1]=2, retry={}",
                                "shm_attach error[No such file or directory](channel=1, retry={})"));
  EXPECT_EQ(sleeps.count(), 20);
}

}  // namespace
