// Random messages from local peers: through a real socket into a receiving
// endpoint, and straight into every receiving-side reader. Whatever arrives,
// the result is a code, never a read or write outside the buffers (run it
// under the sanitizer build) and never a hang. The readers are checked as
// the fuzz targets check them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "event/onvif_event_ipc.h"
#include "helpers/ipc_test_env.h"
#include "targets/ipc_readers.h"

namespace {

using bytes = std::vector<unsigned char>;

constexpr int kSocketRounds = 300;
constexpr int kReaderRounds = 4000;

// Mostly plausible headers (known types, lengths near the truth), sometimes
// pure noise: both kinds reach the deep paths.
bytes random_message(std::mt19937& rng) {
  std::uniform_int_distribution<int> pick(0, 99);
  const size_t size = pick(rng) < 10 ? rng() % 24 : pick(rng) < 20 ? 32768 + rng() % 8000 : rng() % 1200;
  bytes msg(size);
  for (unsigned char& b : msg) b = static_cast<unsigned char>(rng());
  if (size >= 20 && pick(rng) < 80) {
    // Valid routes for the types with bodies, and a few invalid ones.
    const uint32_t routes[][3] = {{4, 300, 512},   {7, 768, 512}, {8, 768, 512},  {9, 512, 768},
                                  {11, 300, 512},  {12, 300, 512}, {13, 300, 512}, {14, 300, 1100},
                                  {15, 10, 300},   {6, 0xFFFFFFFF, 512}, {300, 1, 1}, {8, 768, 511}};
    const auto& r = routes[pick(rng) < 85 ? rng() % 10 : 10 + rng() % 2];
    ipc_write_header(msg.data(), r[0], r[1], r[2]);
    const uint32_t truth = static_cast<uint32_t>(size);
    const uint32_t lengths[] = {truth, truth - 1, truth + 1, 0, 20, 32768, 40000, static_cast<uint32_t>(rng())};
    ipc_put_le32(msg.data(), kIpcOffLength, lengths[pick(rng) < 60 ? 0 : rng() % 8]);
  }
  // Newline-rich texts for the line readers.
  if (size > 110 && pick(rng) < 50) {
    for (size_t i = 97; i < size; ++i) {
      if (pick(rng) < 15) msg[i] = '\n';
      else if (pick(rng) < 10) msg[i] = ',';
      else if (pick(rng) < 5) msg[i] = ':';
      else if (pick(rng) < 60) msg[i] = static_cast<unsigned char>('0' + rng() % 10);
    }
    ipc_put_le32(msg.data(), 97, static_cast<uint32_t>(rng() % (size - 96)));
    ipc_put_le32(msg.data(), 101, static_cast<uint32_t>(rng() % (size - 100)));
    if (pick(rng) < 30) std::memcpy(msg.data() + 101, "Source,", 7);
    if (pick(rng) < 30) std::memcpy(msg.data() + 105, "1:1\n", 4);
  }
  return msg;
}

TEST(IpcFuzz, RandomMessagesThroughARealSocketGiveCodesOnly) {
  ipc_test::ipc_dir dir;
  ipc_test::listener endpoint(768);
  ASSERT_EQ(endpoint.open_result(), 0);
  std::mt19937 rng(20240607);
  const int allowed[] = {0, -1, -9, -11};
  int accepted = 0;
  for (int round = 0; round < kSocketRounds; ++round) {
    const bytes msg = random_message(rng);
    // Sent whole or in two pieces; the peer closes when done.
    std::vector<bytes> pieces;
    if (msg.size() > 4 && rng() % 2 == 0) {
      const size_t cut = 1 + rng() % (msg.size() - 1);
      pieces = {bytes(msg.begin(), msg.begin() + cut), bytes(msg.begin() + cut, msg.end())};
    } else {
      pieces = {msg};
    }
    const uint32_t capacity = rng() % 4 == 0 ? static_cast<uint32_t>(rng() % 2000) : 32768;
    bytes buffer(capacity + 16, 0x5A);
    int result = 0;
    {
      ipc_test::raw_peer peer(endpoint.handle(), pieces, rng() % 3 == 0 ? 2 : 0);
      ASSERT_EQ(IPC_iSelect(endpoint.handle(), 3000), 0);
      uint32_t length = 0;
      result = IPC_iReceive(endpoint.handle(), buffer.data(), &length, capacity);
    }
    ASSERT_NE(std::find(std::begin(allowed), std::end(allowed), result), std::end(allowed)) << result;
    for (size_t i = capacity; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0x5A) << "written past the capacity";
    if (result == 0) {
      ++accepted;
      // What was accepted is what was sent (a surplus after a complete
      // message may go unnoticed when it arrives separately).
      const uint32_t length = ipc_get_le32(buffer.data(), kIpcOffLength);
      ASSERT_LE(length, msg.size());
      ASSERT_EQ(std::memcmp(buffer.data(), msg.data(), length), 0);
      fuzz_read_every_notice(buffer.data(), capacity);
    }
  }
  // Enough of the random messages were accepted to reach the readers.
  EXPECT_GT(accepted, kSocketRounds / 10);
}

TEST(IpcFuzz, RandomBuffersIntoEveryReaderStayInBounds) {
  std::mt19937 rng(7);
  for (int round = 0; round < kReaderRounds; ++round) {
    const bytes msg = random_message(rng);
    // Exactly the bytes there are, so the sanitizer sees any read beyond them.
    fuzz_read_every_notice(msg.data(), msg.size());
  }
}

}  // namespace
