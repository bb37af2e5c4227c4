// Random blocks of random sizes through the sources' get-data calls, each
// given a buffer of exactly the size it is told: a source that copies, looks
// at or moves a byte past it is caught by the sanitizer build.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "helpers/media_jpeg.h"
#include "helpers/media_log.h"
#include "helpers/media_store.h"
#include "media/sources.h"
#include "media/vx_h264_rtp.h"
#include "media/vx_jpeg_rtp.h"
#include "media/vx_mpeg4_rtp.h"
#include "stream/rtp_thread.h"

namespace {

using media_test::block_info;
using media_test::channel_kind;
using media_test::temp_store;

constexpr int kBlocks = 3000;

std::vector<uint8_t> random_block(std::mt19937& rng, size_t max) {
  // Mostly small blocks, where the edge cases live, and now and then large ones.
  const size_t size = rng() % 4 == 0 ? std::uniform_int_distribution<size_t>(1, max)(rng)
                                     : std::uniform_int_distribution<size_t>(1, 12)(rng);
  std::vector<uint8_t> b(size);
  for (auto& x : b) x = static_cast<uint8_t>(rng() % 5 == 0 ? 0 : rng());
  if (size >= 4 && rng() % 2 == 0) {
    b[0] = b[1] = b[2] = 0;
    b[3] = 1;
  }
  return b;
}

shm_blockinfo random_info(std::mt19937& rng) {
  auto info = block_info(static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()));
  info.quality = static_cast<uint16_t>(rng());
  info.width = static_cast<uint16_t>(rng());
  info.height = static_cast<uint16_t>(rng());
  info.fallback_width = static_cast<uint16_t>(rng());
  info.fallback_height = static_cast<uint16_t>(rng());
  return info;
}

// Feeds kBlocks random blocks, one read per block with a buffer of a random
// size around the block's, and checks the result stays within it.
template <typename Get>
void feed(temp_store& store, std::mt19937& rng, Get get, std::vector<uint8_t> first, uint8_t first_type) {
  store.publish(first, block_info(first_type));
  std::vector<uint8_t> block = first;
  for (int i = 0; i < kBlocks; ++i) {
    const int wanted = static_cast<int>(block.size()) + std::uniform_int_distribution<int>(-3, 3)(rng);
    const int size = std::max(1, wanted);
    auto buffer = std::make_unique<unsigned char[]>(static_cast<size_t>(size));
    const int n = get(buffer.get(), size);
    ASSERT_LE(n, size) << "block " << i;
    ASSERT_GE(n, -1) << "block " << i;
    block = random_block(rng, 4000);
    store.publish(block, random_info(rng));
  }
}

class MediaSourceFuzz : public ::testing::Test {
 protected:
  std::unique_ptr<rtp_thread> thread = std::make_unique<rtp_thread>();
  media_test::log_capture log; // keeps thousands of messages off the terminal
  media_test::fast_sleeps sleeps;

  void SetUp() override {
    thread->running = 1;
    thread->channel = 0;
  }
};

TEST_F(MediaSourceFuzz, RandomH264BlocksStayInsideTheBuffer) {
  temp_store store(channel_kind::video, 0, kCodecH264, {64, 256 * 1024, 8 * 1024});
  std::mt19937 rng(96);
  vx_h264_source = {};
  vx_h264_thread_init(thread.get());
  thread->disable_h264user = true;
  ASSERT_EQ(vx_h264_open_data_src(thread.get()), 0);
  feed(store, rng, [&](unsigned char* b, int size) { return vx_h264_get_data(thread.get(), b, size); },
       media_test::nal_block(0x67, 2), 8);
  vx_h264_close_data_src(thread.get());
}

TEST_F(MediaSourceFuzz, RandomMpeg4BlocksStayInsideTheBuffer) {
  temp_store store(channel_kind::video, 0, kCodecMpeg4, {64, 256 * 1024, 8 * 1024});
  std::mt19937 rng(120);
  vx_mpeg4_source = {};
  vx_mpeg4_thread_init(thread.get());
  ASSERT_EQ(vx_mpeg4_open_data_src(thread.get()), 0);
  feed(store, rng, [&](unsigned char* b, int size) { return vx_mpeg4_get_data(thread.get(), b, size); },
       {0, 0, 1, 0xB6}, 15);
  vx_mpeg4_close_data_src(thread.get());
}

TEST_F(MediaSourceFuzz, RandomJpegBlocksStayInsideTheBuffer) {
  temp_store store(channel_kind::video, 0, kCodecJpeg, {64, 256 * 1024, 8 * 1024});
  std::mt19937 rng(26);
  vx_jpeg_source = {};
  thread->enable_rfc2435 = true;
  thread->framerate = 30;
  vx_jpeg_thread_init(thread.get());
  ASSERT_EQ(vx_jpeg_open_data_src(thread.get()), 0);
  // No session daemon to ask during the run.
  vx_jpeg_source.rate_queried = true;
  clock_gettime(CLOCK_MONOTONIC, &vx_jpeg_source.last_rate_query);
  vx_jpeg_source.last_rate_query.tv_sec += 3600;
  vx_jpeg_source.target_rate = 30;
  feed(store, rng, [&](unsigned char* b, int size) { return vx_jpeg_get_data(thread.get(), b, size); },
       media_test::make_jpeg().bytes, 0);
  vx_jpeg_close_data_src(thread.get());
}

}  // namespace
