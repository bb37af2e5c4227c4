#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helpers/media_store.h"
#include "media/sources.h"
#include "media/vx_ulaw_rtp.h"

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

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class UlawSource : public media_test::source_test {
 protected:
  void SetUp() override {
    vx_ulaw_source = {};
    thread->enable_rfc2435 = true;
    start(vx_ulaw_thread_init, 3);
  }
};

TEST_F(UlawSource, ReadsOf1072BytesGiveTwoUnitsThenANewRead) {
  EXPECT_FALSE(thread->enable_rfc2435);
  temp_store store(channel_kind::audio, 0, kCodecUlaw);
  store.publish(samples(0, 1072), block_info());
  ASSERT_EQ(open(), 0);

  EXPECT_EQ(got(get()), samples(0, 512));
  EXPECT_EQ(thread->rtp_marker, 1); // the stream's first talkspurt
  store.publish(samples(1072, 1072), block_info());
  EXPECT_EQ(got(get()), samples(512, 512)); // 560 were held: no read
  EXPECT_EQ(got(get()), samples(1024, 512)); // 48 were held: this one reads the second block
  EXPECT_EQ(thread->rtp_marker, 0);
  EXPECT_EQ(vx_ulaw_source.fill, 48 + 1072 - 512);
  EXPECT_EQ(thread->rtp_timestamp, 3 * 512u);
  EXPECT_EQ(thread->rtp_payload_type, 0);
  EXPECT_EQ(vx_ulaw_close_data_src(thread.get()), 0);
}

TEST_F(UlawSource, ShortReadsWaitForAWholeUnitInsteadOfSendingStaleAudio) {
  temp_store store(channel_kind::audio, 0, kCodecUlaw);
  store.publish(samples(0, 320), block_info());
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(get(), 0);
  EXPECT_EQ(thread->rtp_timestamp, 0u);
  store.publish(samples(320, 320), block_info());
  EXPECT_EQ(got(get()), samples(0, 512));
  EXPECT_EQ(thread->rtp_timestamp, 512u);
  EXPECT_EQ(vx_ulaw_source.fill, 128);
}

TEST_F(UlawSource, ReaderThatFellBehindReadsTheNewestBlockAfterWhatItHeld) {
  temp_store store(channel_kind::audio, 0, kCodecUlaw);
  store.publish(samples(0, 1072), block_info());
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(get(), 512);
  ASSERT_EQ(get(), 512);
  for (int i = 1; i <= 40; ++i) store.publish(samples(static_cast<size_t>(i) * 1000, 1072), block_info());
  EXPECT_EQ(got(get()), cat(samples(1024, 48), samples(40000, 464)));
  EXPECT_EQ(thread->rtp_marker, 1); // a new talkspurt after the gap
  const auto messages = log.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("vx_ulaw_rtp : read delay [rp=1, wp=", 0), 0u) << messages[0];
}

TEST_F(UlawSource, FailuresLeaveTheBufferAlone) {
  EXPECT_EQ(get(100), -1);
  temp_store store(channel_kind::audio, 0, kCodecUlaw);
  ASSERT_EQ(open(), 0);
  store.producer().destroy();
  EXPECT_EQ(get(), -1);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"vx_ulaw_rtp : size is too small 100 < 512",
                                                      "vx_ulaw_rtp : shared memory destroyed"}));
  EXPECT_EQ(vx_ulaw_source.fill, 0);
  EXPECT_EQ(vx_ulaw_source.synced, 0);
}

TEST_F(UlawSource, MissingStoreFailsTheOpenAfterElevenTriesASecondApart) {
  media_test::missing_store none(channel_kind::audio, 0);
  EXPECT_EQ(open(), -1);
  EXPECT_EQ(log.messages(), media_test::given_up_messages(
                                "vx_ulaw_rtp", "", "shm_attach error[No such file or directory](channel=3)"));
  EXPECT_EQ(sleeps.count(), 10);
}

}  // namespace
