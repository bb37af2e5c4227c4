// Random blocks of random sizes through the sources' get-data calls, each
// given a buffer of exactly the size it is told: a source that copies, looks
// at or moves a byte past it is caught by the sanitizer build.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "helpers/media_jpeg.h"
#include "helpers/media_store.h"
#include "media/sources.h"
#include "media/vx_h264_rtp.h"
#include "media/vx_jpeg_rtp.h"
#include "media/vx_mpeg4_rtp.h"

namespace {

using media_test::block_info;

constexpr int kBlocks = 3000;

std::vector<uint8_t> random_block(std::mt19937& rng) {
  // Mostly small blocks, where the edge cases live, and now and then large ones.
  const size_t size = std::uniform_int_distribution<size_t>(1, rng() % 4 == 0 ? 4000 : 12)(rng);
  std::vector<uint8_t> b(size);
  for (auto& x : b) x = static_cast<uint8_t>(rng() % 5 == 0 ? 0 : rng());
  if (size >= 4 && rng() % 2 == 0) b[0] = b[1] = b[2] = 0, b[3] = 1;
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

class MediaSourceFuzz : public media_test::source_test {
 protected:
  // Opens the started source on a store holding `codec`, then reads kBlocks
  // random blocks after `first`, each with an exact-size buffer of a random
  // size around the block's.
  void feed(uint32_t codec, unsigned seed, std::vector<uint8_t> block, uint8_t first_type) {
    media_test::temp_store store(media_test::channel_kind::video, 0, codec, {64, 256 * 1024, 8 * 1024});
    std::mt19937 rng(seed);
    store.publish(block, block_info(first_type));
    ASSERT_EQ(open(), 0);
    for (int i = 0; i < kBlocks; ++i) {
      const int size = std::max(1, static_cast<int>(block.size()) + std::uniform_int_distribution<int>(-3, 3)(rng));
      auto buffer = std::make_unique<unsigned char[]>(static_cast<size_t>(size));
      const int n = thread->get_data(thread.get(), buffer.get(), size);
      ASSERT_TRUE(n >= -1 && n <= size) << "block " << i << " gave " << n << " of " << size;
      block = random_block(rng);
      store.publish(block, random_info(rng));
    }
    thread->close_data_src(thread.get());
  }
};

TEST_F(MediaSourceFuzz, RandomH264BlocksStayInsideTheBuffer) {
  vx_h264_source = {};
  start(vx_h264_thread_init, 0);
  thread->disable_h264user = true;
  feed(kCodecH264, 96, media_test::nal_block(0x67, 2), 8);
}

TEST_F(MediaSourceFuzz, RandomMpeg4BlocksStayInsideTheBuffer) {
  vx_mpeg4_source = {};
  start(vx_mpeg4_thread_init, 0);
  feed(kCodecMpeg4, 120, {0, 0, 1, 0xB6}, 15);
}

TEST_F(MediaSourceFuzz, RandomJpegBlocksStayInsideTheBuffer) {
  vx_jpeg_source = {};
  thread->enable_rfc2435 = true;
  thread->framerate = 30;
  start(vx_jpeg_thread_init, 0);
  feed(kCodecJpeg, 26, media_test::make_jpeg().bytes, 0);
}

}  // namespace
