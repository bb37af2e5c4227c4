#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "helpers/media_store.h"
#include "media/sources.h"
#include "media/vx_mpeg4_rtp.h"

namespace {

using media_test::block_info;
using media_test::channel_kind;
using media_test::temp_store;

std::vector<uint8_t> vop(uint8_t seed, size_t size = 300) {
  std::vector<uint8_t> b{0, 0, 1, 0xB6};
  for (size_t i = 4; i < size; ++i) b.push_back(static_cast<uint8_t>(seed + i));
  return b;
}

class Mpeg4Source : public media_test::source_test {
 protected:
  void SetUp() override {
    vx_mpeg4_source = {};
    thread->enable_rfc2435 = true;
    start(vx_mpeg4_thread_init, 2);
  }
};

TEST_F(Mpeg4Source, StartsAtAnIntraVopOfEitherTypeAndEveryBlockStepsTheClock) {
  EXPECT_FALSE(thread->enable_rfc2435);
  temp_store store(channel_kind::video, 2, kCodecMpeg4);
  store.publish(vop(1), block_info(0));
  ASSERT_EQ(open(), 0);

  const std::vector<std::pair<std::vector<uint8_t>, uint8_t>> sent{{vop(3), 12}, {vop(4), 0}, {vop(5), 15}};
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    store.publish(vop(2), block_info(0));
    for (const auto& [block, type] : sent) store.publish(block, block_info(type));
  });
  std::vector<int> stamps;
  for (const auto& [block, type] : sent) {
    EXPECT_EQ(got(get()), block);
    stamps.push_back(static_cast<int>(thread->rtp_timestamp));
  }
  producer.join();
  EXPECT_EQ(stamps, (std::vector<int>{3000, 6000, 9000}));
  EXPECT_EQ(thread->rtp_payload_type, 120);
  EXPECT_EQ(vx_mpeg4_close_data_src(thread.get()), 0);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                "vx_mpeg4_rtp : vx_mpeg4_thread_init()", "vx_mpeg4_rtp : vx_mpeg4_init_rtp_header()",
                                "vx_mpeg4_rtp : vx_mpeg4_open_data_src()", "vx_mpeg4_rtp : vx_mpeg4_close_data_src()"}));
}

TEST_F(Mpeg4Source, FailedReadsAreWordedByWhetherReadingHadStarted) {
  temp_store store(channel_kind::video, 2, kCodecMpeg4);
  store.publish(vop(1), block_info(15));
  ASSERT_EQ(open(), 0);
  ASSERT_GT(get(), 0);
  EXPECT_EQ(get(), -1); // nothing more comes within the store's wait
  EXPECT_EQ(log.messages().back(), "vx_mpeg4_rtp : shm_read_data_blockinfo error");

  // After a delay the new start reports the result of its read.
  for (int i = 0; i < 40; ++i) store.publish(vop(static_cast<uint8_t>(i)), block_info(0));
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    store.producer().destroy();
  });
  EXPECT_EQ(get(), -1);
  producer.join();
  EXPECT_EQ(log.matching(" : read delay [rp=").size(), 1u);
  EXPECT_EQ(log.messages().back(), "vx_mpeg4_rtp : shm_read_data_blockinfo error, data_length=-4");
}

TEST_F(Mpeg4Source, WrongCodecOrMissingStoreFailsTheOpenAfterElevenTriesASecondApart) {
  {
    temp_store store(channel_kind::video, 2, kCodecH264);
    EXPECT_EQ(open(), -1);
  }
  media_test::missing_store none(channel_kind::video, 2);
  EXPECT_EQ(open(), -1);
  auto expected = media_test::given_up_messages("vx_mpeg4_rtp", "codec unmatch. requested=3, channel[2]=1, retry={}",
                                                "shm_attach error[No such file or directory](channel=2)");
  expected.insert(expected.begin() + 11, "vx_mpeg4_rtp : vx_mpeg4_open_data_src()");
  expected.insert(expected.begin(), {"vx_mpeg4_rtp : vx_mpeg4_thread_init()", "vx_mpeg4_rtp : vx_mpeg4_init_rtp_header()",
                                     "vx_mpeg4_rtp : vx_mpeg4_open_data_src()"});
  EXPECT_EQ(log.messages(), expected);
  EXPECT_EQ(sleeps.count(), 20);
}

}  // namespace
