#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "helpers/media_log.h"
#include "helpers/media_store.h"
#include "media/sources.h"
#include "media/vx_h264_rtp.h"
#include "stream/rtp_thread.h"

namespace {

using media_test::block_info;
using media_test::channel_kind;
using media_test::nal_block;
using media_test::temp_store;

constexpr uint8_t kKey = 8;
constexpr uint8_t kSps = 0x67, kPps = 0x68, kIdr = 0x65, kSlice = 0x41, kSei = 0x06;

class H264Source : public ::testing::Test {
 protected:
  void SetUp() override {
    vx_h264_source = {};
    thread->channel = 1;
    thread->running = 1;
    vx_h264_thread_init(thread.get());
    vx_h264_init_rtp_header(thread.get());
  }

  int get(int size = 16 * 1024) { return vx_h264_get_data(thread.get(), buff.data(), size); }
  std::vector<uint8_t> got(int n) const { return {buff.begin(), buff.begin() + n}; }

  std::unique_ptr<rtp_thread> thread = std::make_unique<rtp_thread>();
  std::vector<uint8_t> buff = std::vector<uint8_t>(16 * 1024);
  media_test::log_capture log;
  media_test::fast_sleeps sleeps;
};

TEST_F(H264Source, InitInstallsItsCallbacksAndAStreamStartHeader) {
  thread->enable_rfc2435 = true;
  thread->rtp_seq = 99;
  ASSERT_EQ(vx_h264_thread_init(thread.get()), 0);
  EXPECT_FALSE(thread->enable_rfc2435);
  EXPECT_EQ(thread->get_data, &vx_h264_get_data);
  EXPECT_EQ(thread->open_data_src, &vx_h264_open_data_src);
  EXPECT_EQ(thread->close_data_src, &vx_h264_close_data_src);
  EXPECT_EQ(vx_h264_source.channel, 1);
  ASSERT_EQ(thread->init_rtp_header(thread.get()), 0);
  EXPECT_EQ(thread->rtp_version, 2);
  EXPECT_EQ(thread->rtp_payload_type, 96);
  EXPECT_EQ(thread->rtp_seq, 0u);
  EXPECT_EQ(thread->rtp_timestamp, 0u);
}

TEST_F(H264Source, StartsAtTheNextKeyFrameAndStepsTheClockOncePerFrame) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSlice, 40, 1), block_info());
  ASSERT_EQ(vx_h264_open_data_src(thread.get()), 0);
  EXPECT_EQ(thread->data_size, 16 * 1024);

  const std::vector<std::vector<uint8_t>> gop{nal_block(kSps, 10, 2), nal_block(kPps, 4, 3),
                                              nal_block(kIdr, 900, 4), nal_block(kSlice, 300, 5)};
  // The reader is looking at the newest (non-key) block when these arrive.
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    store.publish(nal_block(kSlice, 40, 9), block_info());
    store.publish(gop[0], block_info(kKey));
    for (size_t i = 1; i < gop.size(); ++i) store.publish(gop[i], block_info());
  });
  std::vector<int> stamps;
  for (const auto& expected : gop) {
    const int n = get();
    ASSERT_EQ(n, static_cast<int>(expected.size()));
    EXPECT_EQ(got(n), expected);
    EXPECT_EQ(thread->rtp_payload_type, 96);
    stamps.push_back(static_cast<int>(thread->rtp_timestamp));
  }
  producer.join();
  EXPECT_EQ(stamps, (std::vector<int>{3000, 3000, 3000, 6000}));
  EXPECT_EQ(vx_h264_close_data_src(thread.get()), 0);
}

TEST_F(H264Source, ReaderThatFellBehindRestartsAtTheNewestKeyFrame) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSps, 10, 1), block_info(kKey));
  ASSERT_EQ(vx_h264_open_data_src(thread.get()), 0);
  ASSERT_GT(get(), 0);
  for (int i = 0; i < 40; ++i) store.publish(nal_block(kSlice, 50, static_cast<uint8_t>(i)), block_info());
  const auto newest = nal_block(kSps, 12, 77);
  store.publish(newest, block_info(kKey));

  const int n = get();
  ASSERT_EQ(n, static_cast<int>(newest.size()));
  EXPECT_EQ(got(n), newest);
  const auto delay = log.matching(" : read delay [rp=1, wp=");
  ASSERT_EQ(delay.size(), 1u);
  EXPECT_EQ(delay[0].rfind("vx_h264_rtp : ", 0), 0u);
  EXPECT_EQ(vx_h264_source.reader.synced, 1);
}

TEST_F(H264Source, SeiIsHeldBackOnlyWithDisableH264user) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSps, 10), block_info(kKey));
  ASSERT_EQ(vx_h264_open_data_src(thread.get()), 0);
  ASSERT_GT(get(), 0);
  const auto sei = nal_block(kSei, 20);
  store.publish(sei, block_info());
  EXPECT_EQ(get(), static_cast<int>(sei.size()));
  thread->disable_h264user = true;
  store.publish(sei, block_info());
  const uint32_t before = thread->rtp_timestamp;
  EXPECT_EQ(get(), 0);
  EXPECT_EQ(thread->rtp_timestamp, before);
}

TEST_F(H264Source, UnusualRateCodesStepTheClockWithoutDividingByZero) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSps, 10), block_info(kKey, 64));
  ASSERT_EQ(vx_h264_open_data_src(thread.get()), 0);
  ASSERT_GT(get(), 0);
  EXPECT_EQ(thread->rtp_timestamp, 12000u);
  store.publish(nal_block(kSlice, 10), block_info(0, 0));
  ASSERT_GT(get(), 0);
  EXPECT_EQ(thread->rtp_timestamp, 15000u);
  store.publish(nal_block(kSlice, 10), block_info(0, 25));
  ASSERT_GT(get(), 0);
  EXPECT_EQ(thread->rtp_timestamp, 18600u);
}

TEST_F(H264Source, BlockLargerThanTheBufferFailsWithSizeOver) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSps, 995), block_info(kKey));
  ASSERT_EQ(vx_h264_open_data_src(thread.get()), 0);
  EXPECT_EQ(get(999), -1);
  EXPECT_EQ(log.matching(" : size over[1000 > 999]").size(), 1u);
}

TEST_F(H264Source, StoppingWhileLookingForAKeyFrameReturnsNothing) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSlice, 10), block_info());
  ASSERT_EQ(vx_h264_open_data_src(thread.get()), 0);
  thread->running = 0;
  EXPECT_EQ(get(), 0);
  EXPECT_EQ(vx_h264_source.reader.synced, 0);
}

TEST_F(H264Source, FailedReadIsReportedWithItsResult) {
  temp_store store(channel_kind::video, 1, kCodecH264);
  store.publish(nal_block(kSps, 10), block_info(kKey));
  ASSERT_EQ(vx_h264_open_data_src(thread.get()), 0);
  ASSERT_GT(get(), 0);
  // Nothing more comes: the store gives up after its bounded wait.
  EXPECT_EQ(get(), -1);
  EXPECT_EQ(log.matching("  : shm_read_data_blockinfo error, data_length=0").size(), 1u);
}

TEST_F(H264Source, ChannelWithAnotherCodecFailsAfterElevenChecks) {
  temp_store store(channel_kind::video, 1, kCodecJpeg);
  EXPECT_EQ(vx_h264_open_data_src(thread.get()), -1);
  const auto checks = log.matching(" : codec unmatch. requested=1, channel[1]=2, retry=");
  ASSERT_EQ(checks.size(), 11u);
  EXPECT_NE(checks.front().find("retry=10"), std::string::npos);
  EXPECT_NE(checks.back().find("retry=0"), std::string::npos);
  EXPECT_EQ(sleeps.count(), 10);
}

TEST_F(H264Source, ChannelWhoseCodecTurnsRightDuringTheChecksOpens) {
  temp_store store(channel_kind::video, 1, kCodecMpeg4);
  media_test::fast_sleeps switching([&store](int n) {
    if (n == 3) store.producer().set_codec(kCodecH264);
  });
  EXPECT_EQ(vx_h264_open_data_src(thread.get()), 0);
  EXPECT_EQ(log.matching("codec unmatch").size(), 3u);
}

TEST_F(H264Source, MissingStoreFailsTheOpenAfterElevenAttempts) {
  media_test::missing_store none(channel_kind::video, 1);
  EXPECT_EQ(vx_h264_open_data_src(thread.get()), -1);
  const auto attempts = log.matching(" : shm_attach error[No such file or directory](channel=1, retry=");
  ASSERT_EQ(attempts.size(), 11u);
  EXPECT_NE(attempts.front().find("retry=10)"), std::string::npos);
  EXPECT_NE(attempts.back().find("retry=0)"), std::string::npos);
  EXPECT_EQ(log.matching(" : shm attach timeout error").size(), 1u);
  EXPECT_EQ(sleeps.count(), 10);
}

}  // namespace
