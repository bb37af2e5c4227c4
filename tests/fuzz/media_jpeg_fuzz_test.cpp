// Random, mutated and truncated JPEG pictures through the header walk, the
// table extraction and the RFC 2435 preparation. Every picture lives in a
// buffer of exactly its size, so a read past it is caught by the sanitizer
// build.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "helpers/media_jpeg.h"
#include "media/jpeg_header.h"
#include "media/jpeg_rfc2435.h"
#include "platform/framestore.h"
#include "stream/rtp_thread.h"

namespace {

constexpr int kRounds = 40000;

void check_picture(const std::vector<uint8_t>& picture, rtp_thread* thread) {
  // An exact-size heap copy: one byte too far is outside the allocation.
  const size_t size = picture.size();
  auto exact = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
  if (size > 0) std::memcpy(exact.get(), picture.data(), size);
  const std::span<const uint8_t> bytes(exact.get(), size);

  const auto scan = jpeg_scan_offset(bytes);
  ASSERT_TRUE(!scan || *scan <= std::max<size_t>(size, 2)) << *scan;

  std::array<uint8_t, kJpegQtMaxBytes> tables{};
  const auto qt = jpeg_quant_tables(bytes.first(scan ? std::min(*scan, size) : size), tables);
  // None, or one or two tables each as wide as its precision bit says.
  const size_t one = (qt.precision & 1) ? 128 : 64;
  const size_t two = one + ((qt.precision & 2) ? 128 : 64);
  ASSERT_TRUE(qt.length == 0 || qt.length == one || qt.length == two) << qt.length;

  shm_blockinfo info{};
  info.quality = 255;
  info.width = 320;
  info.height = 240;
  const int n = prepare_rfc2435_picture(thread, info, exact.get(), static_cast<int>(size));
  ASSERT_TRUE(n == 0 || (n >= kMinScanBytes && n <= static_cast<int>(size))) << n;
}

std::vector<uint8_t> mutated(std::mt19937& rng, std::vector<uint8_t> bytes) {
  std::uniform_int_distribution<size_t> at(0, bytes.size() - 1);
  const int changes = std::uniform_int_distribution<int>(1, 6)(rng);
  for (int i = 0; i < changes; ++i) {
    switch (rng() % 4) {
      case 0: bytes[at(rng)] = static_cast<uint8_t>(rng()); break;
      case 1: bytes[at(rng)] = 0xFF; break;
      case 2: bytes[at(rng)] = 0x00; break;
      default: bytes.resize(at(rng) + 1); break; // truncate
    }
    if (bytes.empty()) break;
    at = std::uniform_int_distribution<size_t>(0, bytes.size() - 1);
  }
  return bytes;
}

TEST(MediaJpegFuzz, RandomMutatedAndTruncatedPicturesNeverLeaveThePicture) {
  auto thread = std::make_unique<rtp_thread>();
  std::mt19937 rng(2435);
  const std::vector<media_test::jpeg_file> bases{
      media_test::make_jpeg(), media_test::make_jpeg({.wide_luma = true, .one_dqt_segment = true}),
      media_test::make_jpeg({.components = 1, .scan_bytes = 3}),
      media_test::make_jpeg({.wide_chroma = true, .swap_table_ids = true})};
  for (int round = 0; round < kRounds; ++round) {
    // Every other round random bytes after SOI, else a mutated intact picture.
    std::vector<uint8_t> pic;
    if (round % 2 == 0) {
      pic.resize(std::uniform_int_distribution<size_t>(0, 300)(rng));
      for (auto& b : pic) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0xFF : rng());
      if (pic.size() >= 2) pic[0] = 0xFF, pic[1] = 0xD8;
    } else {
      pic = mutated(rng, bases[static_cast<size_t>(round / 2) % bases.size()].bytes);
    }
    check_picture(pic, thread.get());
    if (HasFatalFailure()) FAIL() << "round " << round;
  }
  // Every cut of an intact picture, byte by byte.
  for (const auto& base : bases) {
    for (size_t keep = 0; keep <= base.bytes.size(); ++keep) {
      check_picture(std::vector<uint8_t>(base.bytes.begin(), base.bytes.begin() + static_cast<long>(keep)),
                    thread.get());
      if (HasFatalFailure()) FAIL() << "kept " << keep;
    }
  }
}

}  // namespace
