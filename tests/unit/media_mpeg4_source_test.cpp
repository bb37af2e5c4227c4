#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "helpers/media_log.h"
#include "helpers/media_store.h"
#include "media/sources.h"
#include "media/vx_mpeg4_rtp.h"
#include "stream/rtp_thread.h"

namespace {

using media_test::block_info;
using media_test::channel_kind;
using media_test::temp_store;

std::vector<uint8_t> vop(uint8_t seed, size_t size = 300) {
  std::vector<uint8_t> b{0, 0, 1, 0xB6};
  for (size_t i = 4; i < size; ++i) b.push_back(static_cast<uint8_t>(seed + i));
  return b;
}

class Mpeg4Source : public ::testing::Test {
 protected:
  void SetUp() override {
    vx_mpeg4_source = {};
    thread->channel = 2;
    thread->running = 1;
    thread->enable_rfc2435 = true;
    vx_mpeg4_thread_init(thread.get());
    vx_mpeg4_init_rtp_header(thread.get());
  }

  int get() { return vx_mpeg4_get_data(thread.get(), buff.data(), static_cast<int>(buff.size())); }
  std::vector<uint8_t> got(int n) const { return {buff.begin(), buff.begin() + n}; }

  std::unique_ptr<rtp_thread> thread = std::make_unique<rtp_thread>();
  std::vector<uint8_t> buff = std::vector<uint8_t>(16 * 1024);
  media_test::log_capture log;
  media_test::fast_sleeps sleeps;
};

TEST_F(Mpeg4Source, InitSetsPayload120AndSwitchesRfc2435Off) {
  EXPECT_FALSE(thread->enable_rfc2435);
  EXPECT_EQ(thread->get_data, &vx_mpeg4_get_data);
  EXPECT_EQ(thread->rtp_payload_type, 120);
  EXPECT_EQ(log.matching("vx_mpeg4_rtp : ").size(), 2u);
  EXPECT_EQ(log.matching(" : vx_mpeg4_thread_init()").size(), 1u);
  EXPECT_EQ(log.matching(" : vx_mpeg4_init_rtp_header()").size(), 1u);
}

TEST_F(Mpeg4Source, StartsAtAnIntraVopAndEveryBlockStepsTheClock) {
  temp_store store(channel_kind::video, 2, kCodecMpeg4);
  store.publish(vop(1), block_info(0));
  ASSERT_EQ(vx_mpeg4_open_data_src(thread.get()), 0);
  EXPECT_EQ(log.matching(" : vx_mpeg4_open_data_src()").size(), 1u);

  const std::vector<std::vector<uint8_t>> sent{vop(3), vop(4), vop(5)};
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    store.publish(vop(2), block_info(0));
    store.publish(sent[0], block_info(12));
    store.publish(sent[1], block_info(0));
    store.publish(sent[2], block_info(15));
  });
  std::vector<int> stamps;
  for (const auto& expected : sent) {
    const int n = get();
    ASSERT_EQ(n, static_cast<int>(expected.size()));
    EXPECT_EQ(got(n), expected);
    EXPECT_EQ(thread->rtp_payload_type, 120);
    stamps.push_back(static_cast<int>(thread->rtp_timestamp));
  }
  producer.join();
  EXPECT_EQ(stamps, (std::vector<int>{3000, 6000, 9000}));
  EXPECT_EQ(vx_mpeg4_close_data_src(thread.get()), 0);
  EXPECT_EQ(log.matching(" : vx_mpeg4_close_data_src()").size(), 1u);
}

TEST_F(Mpeg4Source, FailedReadsAreWordedByWhetherReadingHadStarted) {
  temp_store store(channel_kind::video, 2, kCodecMpeg4);
  store.publish(vop(1), block_info(15));
  ASSERT_EQ(vx_mpeg4_open_data_src(thread.get()), 0);
  ASSERT_GT(get(), 0);
  EXPECT_EQ(get(), -1); // nothing more comes within the store's wait
  const auto synced = log.matching("  : shm_read_data_blockinfo error");
  ASSERT_EQ(synced.size(), 1u);
  EXPECT_EQ(synced[0].find("data_length"), std::string::npos);

  // After a delay the new start reports the result of its read.
  for (int i = 0; i < 40; ++i) store.publish(vop(static_cast<uint8_t>(i)), block_info(0));
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    store.producer().destroy();
  });
  EXPECT_EQ(get(), -1);
  producer.join();
  EXPECT_EQ(log.matching(" : read delay [rp=").size(), 1u);
  EXPECT_EQ(log.matching("  : shm_read_data_blockinfo error, data_length=-4").size(), 1u);
}

TEST_F(Mpeg4Source, WrongCodecOrMissingStoreFailsTheOpenAfterTheRetries) {
  {
    temp_store store(channel_kind::video, 2, kCodecH264);
    EXPECT_EQ(vx_mpeg4_open_data_src(thread.get()), -1);
    EXPECT_EQ(log.matching(" : codec unmatch. requested=3, channel[2]=1, retry=").size(), 11u);
    EXPECT_EQ(sleeps.count(), 10);
  }
  media_test::missing_store none(channel_kind::video, 2);
  EXPECT_EQ(vx_mpeg4_open_data_src(thread.get()), -1);
  const auto attempts = log.matching(" : shm_attach error[No such file or directory](channel=2)");
  EXPECT_EQ(attempts.size(), 11u);
  EXPECT_EQ(log.matching(" : shm attach timeout error").size(), 1u);
  EXPECT_EQ(sleeps.count(), 20);
}

}  // namespace
