#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "helpers/media_log.h"
#include "helpers/media_store.h"
#include "media/sources.h"
#include "media/vx_ulaw_rtp.h"
#include "stream/rtp_thread.h"

namespace {

using media_test::block_info;
using media_test::channel_kind;
using media_test::temp_store;

// Audio bytes numbered from `from`, so that any byte out of place shows.
std::vector<uint8_t> samples(size_t from, size_t count) {
  std::vector<uint8_t> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((from + i) * 7 % 251);
  return out;
}

class UlawSource : public ::testing::Test {
 protected:
  void SetUp() override {
    vx_ulaw_source = {};
    thread->channel = 3;
    thread->running = 1;
    thread->enable_rfc2435 = true;
    vx_ulaw_thread_init(thread.get());
    vx_ulaw_init_rtp_header(thread.get());
  }

  int get(int size = 4096) { return vx_ulaw_get_data(thread.get(), buff.data(), size); }
  std::vector<uint8_t> unit() const { return {buff.begin(), buff.begin() + kUlawUnit}; }

  std::unique_ptr<rtp_thread> thread = std::make_unique<rtp_thread>();
  std::vector<uint8_t> buff = std::vector<uint8_t>(4096);
  media_test::log_capture log;
  media_test::fast_sleeps sleeps;
};

TEST_F(UlawSource, ReadsOf1072BytesGiveTwoUnitsThenANewRead) {
  EXPECT_FALSE(thread->enable_rfc2435);
  temp_store store(channel_kind::audio, 0, kCodecUlaw);
  store.publish(samples(0, 1072), block_info());
  ASSERT_EQ(vx_ulaw_open_data_src(thread.get()), 0);

  ASSERT_EQ(get(), 512);
  EXPECT_EQ(unit(), samples(0, 512));
  EXPECT_EQ(vx_ulaw_source.fill, 560);
  store.publish(samples(1072, 1072), block_info());
  ASSERT_EQ(get(), 512);
  EXPECT_EQ(unit(), samples(512, 512));
  EXPECT_EQ(vx_ulaw_source.fill, 48);
  ASSERT_EQ(get(), 512); // 48 left: this call reads the second block
  EXPECT_EQ(unit(), samples(1024, 512));
  EXPECT_EQ(vx_ulaw_source.fill, 48 + 1072 - 512);
  EXPECT_EQ(thread->rtp_timestamp, 3 * 512u);
  EXPECT_EQ(thread->rtp_payload_type, 0);
  EXPECT_EQ(vx_ulaw_close_data_src(thread.get()), 0);
}

TEST_F(UlawSource, EnoughBufferedAudioIsHandedOutWithoutARead) {
  temp_store store(channel_kind::audio, 0, kCodecUlaw);
  ASSERT_EQ(vx_ulaw_open_data_src(thread.get()), 0);
  const auto held = samples(5, 600);
  vx_ulaw_source.synced = 1;
  vx_ulaw_source.fill = 600;
  std::copy(held.begin(), held.end(), vx_ulaw_source.audio);
  ASSERT_EQ(get(), 512);
  EXPECT_EQ(unit(), samples(5, 512));
  ASSERT_EQ(vx_ulaw_source.fill, 88);
  EXPECT_EQ(std::vector<uint8_t>(vx_ulaw_source.audio, vx_ulaw_source.audio + 88), samples(517, 88));
}

TEST_F(UlawSource, ShortReadsWaitForAWholeUnitInsteadOfSendingStaleAudio) {
  temp_store store(channel_kind::audio, 0, kCodecUlaw);
  store.publish(samples(0, 320), block_info());
  ASSERT_EQ(vx_ulaw_open_data_src(thread.get()), 0);
  std::fill(buff.begin(), buff.end(), 0xEE);
  EXPECT_EQ(get(), 0);
  EXPECT_EQ(thread->rtp_timestamp, 0u);
  EXPECT_EQ(vx_ulaw_source.fill, 320);
  store.publish(samples(320, 320), block_info());
  ASSERT_EQ(get(), 512);
  EXPECT_EQ(unit(), samples(0, 512));
  EXPECT_EQ(thread->rtp_timestamp, 512u);
  EXPECT_EQ(vx_ulaw_source.fill, 128);
}

TEST_F(UlawSource, ReaderThatFellBehindReadsTheNewestBlockAndStaysSynced) {
  temp_store store(channel_kind::audio, 0, kCodecUlaw);
  store.publish(samples(0, 1072), block_info());
  ASSERT_EQ(vx_ulaw_open_data_src(thread.get()), 0);
  ASSERT_EQ(get(), 512);
  ASSERT_EQ(get(), 512);
  for (int i = 1; i <= 40; ++i) store.publish(samples(static_cast<size_t>(i) * 1000, 1072), block_info());
  ASSERT_EQ(get(), 512);
  EXPECT_EQ(log.matching("vx_ulaw_rtp : ").size(), 1u);
  EXPECT_EQ(log.matching(" : read delay [rp=1, wp=").size(), 1u);
  // The 48 bytes left from before, then the newest block.
  auto expected = samples(1024, 48);
  const auto newest = samples(40000, 464);
  expected.insert(expected.end(), newest.begin(), newest.end());
  EXPECT_EQ(unit(), expected);
  EXPECT_EQ(vx_ulaw_source.synced, 1);
}

TEST_F(UlawSource, FailuresLeaveTheBufferAlone) {
  EXPECT_EQ(get(100), -1);
  EXPECT_EQ(log.matching("vx_ulaw_rtp : ").size(), 1u);
  EXPECT_EQ(log.matching(" : size is too small 100 < 512").size(), 1u);

  temp_store store(channel_kind::audio, 0, kCodecUlaw);
  ASSERT_EQ(vx_ulaw_open_data_src(thread.get()), 0);
  store.producer().destroy();
  EXPECT_EQ(get(), -1);
  EXPECT_EQ(log.matching(" : shared memory destroyed").size(), 1u);
  EXPECT_EQ(vx_ulaw_source.fill, 0);
  EXPECT_EQ(vx_ulaw_source.synced, 0);
}

TEST_F(UlawSource, MissingStoreFailsTheOpenAfterTheRetries) {
  media_test::missing_store none(channel_kind::audio, 0);
  EXPECT_EQ(vx_ulaw_open_data_src(thread.get()), -1);
  EXPECT_EQ(log.matching(" : shm_attach error[No such file or directory](channel=3)").size(), 11u);
  EXPECT_EQ(log.matching(" : shm attach timeout error").size(), 1u);
  EXPECT_EQ(sleeps.count(), 10);
}

}  // namespace
