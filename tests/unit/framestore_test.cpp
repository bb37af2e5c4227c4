// The frame store seen from both sides: a producer and readers in threads and
// in another process, on stores in a private temporary directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/framestore.h"
#include "platform/framestore_producer.h"

namespace {

namespace fs = std::filesystem;
using framestore::Producer;
using framestore::StoreGeometry;

constexpr int kNumber = 100;

class FrameStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/framestore_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/store";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void open_store(Producer& p, StoreGeometry g, uint32_t codec = kCodecH264) {
    ASSERT_EQ(p.open(path_.c_str(), kNumber, codec, g), 0) << std::strerror(errno);
  }
  void attach(shm_handle* h) { ASSERT_EQ(shm_attach(path_.c_str(), kNumber, h), 0) << std::strerror(errno); }
  // One read into the fixture's buffer; the frame number is check_frame's.
  int read_block(shm_handle& h, int& rp) { return shm_read_data_blockinfo(buf_.data(), 1000, &info_, &h, &rp, 0); }
  int read_recent(shm_handle& h, int& rp) {
    return shm_read_recent_data_blockinfo(buf_.data(), 1000, &info_, &h, &rp, 0);
  }

  std::vector<uint8_t> buf_ = std::vector<uint8_t>(1000);
  shm_blockinfo info_{};

  std::string dir_;
  std::string path_;
};

// Frame k: a 4-byte number, then bytes derived from it, with a length that
// varies so that frames straddle the data ring's end in every phase.
std::vector<uint8_t> make_frame(uint32_t k, uint32_t max_len) {
  const uint32_t len = 8 + (k * 7919u) % (max_len - 8);
  std::vector<uint8_t> f(len);
  std::memcpy(f.data(), &k, 4);
  std::memcpy(f.data() + 4, &len, 4);
  for (uint32_t i = 8; i < len; ++i) f[i] = static_cast<uint8_t>(k * 31u + i * 7u);
  return f;
}

// The frame number when the bytes are exactly make_frame's, else -1.
int64_t check_frame(const uint8_t* p, int n) {
  if (n < 8) return -1;
  uint32_t k = 0;
  uint32_t len = 0;
  std::memcpy(&k, p, 4);
  std::memcpy(&len, p + 4, 4);
  if (len != static_cast<uint32_t>(n)) return -1;
  for (uint32_t i = 8; i < len; ++i) {
    if (p[i] != static_cast<uint8_t>(k * 31u + i * 7u)) return -1;
  }
  return k;
}

shm_blockinfo info_for(uint32_t k) {
  shm_blockinfo info{};
  info.timestamp = k * 3000;
  return info;
}

int publish_frame(Producer& p, uint32_t k, uint32_t max_len) {
  const auto f = make_frame(k, max_len);
  return p.publish(f, info_for(k));
}

TEST_F(FrameStore, ReaderGetsEveryBlockInOrderAcrossRingWraps) {
  Producer p;
  open_store(p, {8, 4096, 1000});
  shm_handle h;
  attach(&h);
  EXPECT_EQ(h.header->codec, kCodecH264);
  EXPECT_EQ(h.header->max_frame_size, 1000u);

  int rp = h.header->wp;
  bool saw_wrapped_frame = false;
  for (uint32_t k = 0; k < 60; ++k) {
    ASSERT_EQ(publish_frame(p, k, 1000), 0);
    ASSERT_EQ(shm_check_read_delay(&h, rp), 0);
    const int n = read_block(h, rp);
    ASSERT_GT(n, 0) << "frame " << k << ": " << std::strerror(errno);
    EXPECT_EQ(check_frame(buf_.data(), n), k);
    EXPECT_EQ(info_.len_a + info_.len_b, static_cast<uint32_t>(n));
    EXPECT_EQ(info_.timestamp, k * 3000);
    EXPECT_EQ(h.header->wp, (rp + 7) % 8) << "wp is the block just read";
    saw_wrapped_frame |= info_.len_b != 0;
  }
  EXPECT_TRUE(saw_wrapped_frame);
  EXPECT_EQ(shm_detach(&h), 0);
}

// The producer never waits: a reader that lost the race must be told, and a
// block that was overwritten is refused rather than delivered.
TEST_F(FrameStore, ReaderThatFallsBehindIsToldAndNeverGetsALappedBlock) {
  Producer p;
  open_store(p, {8, 4096, 1000});
  shm_handle h;
  attach(&h);

  ASSERT_EQ(publish_frame(p, 0, 100), 0);
  int rp = h.header->wp;
  ASSERT_GT(read_block(h, rp), 0);

  // Six blocks behind in a ring of eight: still safe.
  for (uint32_t k = 1; k <= 6; ++k) ASSERT_EQ(publish_frame(p, k, 100), 0);
  EXPECT_EQ(shm_check_read_delay(&h, rp), 0);
  // Within the margin of being overwritten: told.
  ASSERT_EQ(publish_frame(p, 7, 100), 0);
  ASSERT_EQ(publish_frame(p, 8, 100), 0);
  EXPECT_NE(shm_check_read_delay(&h, rp), 0);

  // A whole ring later the block at rp is a newer one; reading the old
  // position must fail instead of handing out the wrong frame.
  shm_handle lagging;
  attach(&lagging);
  int lag_rp = h.header->wp;
  ASSERT_GT(read_block(lagging, lag_rp), 0);
  for (uint32_t k = 9; k <= 20; ++k) ASSERT_EQ(publish_frame(p, k, 100), 0);
  errno = 0;
  EXPECT_EQ(read_block(lagging, lag_rp), -1);
  EXPECT_EQ(errno, ESTALE);
  EXPECT_NE(shm_check_read_delay(&lagging, lag_rp), 0);

  // Moving to wp as the sources do resumes at the newest block.
  rp = h.header->wp;
  EXPECT_EQ(shm_check_read_delay(&h, rp), 0);
  const int n = read_block(h, rp);
  EXPECT_EQ(check_frame(buf_.data(), n), 20);
  shm_detach(&h);
  shm_detach(&lagging);
}

TEST_F(FrameStore, ReaderWhoseDataWasLappedIsToldThoughBlocksRemain) {
  Producer p;
  // Many blocks, a data ring of only four frames.
  open_store(p, {64, 4000, 1000});
  shm_handle checker;
  shm_handle reader;
  attach(&checker);
  attach(&reader);
  for (uint8_t k = 0; k < 4; ++k) ASSERT_EQ(p.publish(std::vector<uint8_t>(900, k), shm_blockinfo{}), 0);
  EXPECT_EQ(shm_check_read_delay(&checker, 1), 0);
  ASSERT_EQ(p.publish(std::vector<uint8_t>(900, 4), shm_blockinfo{}), 0);
  EXPECT_NE(shm_check_read_delay(&checker, 1), 0) << "the next frame would overwrite block 1's data";
  ASSERT_EQ(p.publish(std::vector<uint8_t>(900, 5), shm_blockinfo{}), 0);
  int rp = 1;
  EXPECT_EQ(read_block(reader, rp), -1);
  EXPECT_EQ(errno, ESTALE);
  EXPECT_EQ(rp, 1);
  rp = 2;
  EXPECT_EQ(read_block(reader, rp), 900);
  EXPECT_EQ(buf_[0], 2);
  shm_detach(&checker);
  shm_detach(&reader);
}

TEST_F(FrameStore, FastProducerNeverYieldsATornBlock) {
  constexpr uint32_t kFrames = 20000;
  constexpr uint32_t kMaxLen = 1500;
  Producer p;
  open_store(p, {16, 8192, kMaxLen});
  std::atomic<bool> reader_ready{false};

  auto reader = std::async(std::launch::async, [&] {
    struct Result {
      int delivered = 0, torn = 0, out_of_order = 0;
    } r;
    shm_handle h;
    if (shm_attach(path_.c_str(), kNumber, &h) != 0) return r;
    reader_ready = true;
    std::vector<uint8_t> buf(kMaxLen);
    int rp = h.header->wp;
    int64_t last = -1;
    for (int i = 0; i < 4 * static_cast<int>(kFrames); ++i) {
      if (shm_check_read_delay(&h, rp) != 0) rp = h.header->wp;
      shm_blockinfo info{};
      const int n = shm_read_data_blockinfo(buf.data(), kMaxLen, &info, &h, &rp, 0);
      if (n == kShmDestroyed) break;
      if (n <= 0) continue;
      const int64_t k = check_frame(buf.data(), n);
      if (k < 0 || info.timestamp != static_cast<uint32_t>(k) * 3000) {
        ++r.torn;
      } else {
        r.out_of_order += k <= last;
        last = k;
        ++r.delivered;
      }
    }
    shm_detach(&h);
    return r;
  });
  for (int i = 0; i < 10000 && !reader_ready; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (uint32_t k = 0; k < kFrames; ++k) {
    ASSERT_EQ(publish_frame(p, k, kMaxLen), 0);
    if (k % 64 == 0) std::this_thread::yield();
  }
  p.destroy();
  const auto r = reader.get();
  EXPECT_EQ(r.torn, 0);
  EXPECT_EQ(r.out_of_order, 0);
  EXPECT_GT(r.delivered, 0);
}

TEST_F(FrameStore, ReaderInAnotherProcessWakesForTheNextBlock) {
  Producer p;
  open_store(p, {8, 4096, 1000});
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    shm_handle h;
    if (shm_attach(path_.c_str(), kNumber, &h) != 0) _exit(2);
    (void)!write(ready[1], "r", 1);
    int rp = 0;
    // The empty store's first block, then the next ones as they come; each
    // read may wait at most its bound, so allow a few empty rounds.
    int got = 0;
    for (int i = 0; i < 30 && got < 3; ++i) {
      const int n = got == 0 ? read_recent(h, rp) : read_block(h, rp);
      if (n == 0) continue;
      if (check_frame(buf_.data(), n) != got) _exit(3);
      ++got;
    }
    _exit(got == 3 ? 0 : 4);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  for (uint32_t k = 0; k < 3; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(publish_frame(p, k, 1000), 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(ready[0]);
  close(ready[1]);
}

TEST_F(FrameStore, ReadOnAnIdleStoreGivesUpWithinItsBound) {
  Producer p;
  open_store(p, {8, 4096, 1000});
  shm_handle h;
  attach(&h);
  auto read = std::async(std::launch::async, [&] {
    int rp = 0;
    errno = 0;
    const int n = read_block(h, rp);
    return std::make_pair(n, errno);
  });
  ASSERT_EQ(read.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const auto [n, err] = read.get();
  EXPECT_EQ(n, 0);
  EXPECT_EQ(err, ETIMEDOUT);
  shm_detach(&h);
}

TEST_F(FrameStore, DestroyedStoreEndsRecentReadsAndWakesWaiters) {
  Producer p;
  open_store(p, {8, 4096, 1000});
  ASSERT_EQ(publish_frame(p, 0, 1000), 0);
  ASSERT_EQ(publish_frame(p, 1, 1000), 0);
  shm_handle h;
  attach(&h);
  int rp = 0;
  ASSERT_GT(read_block(h, rp), 0);

  // The fixture's buffer is the waiter's until it is done.
  auto waiter = std::async(std::launch::async, [&] {
    shm_handle w;
    if (shm_attach(path_.c_str(), kNumber, &w) != 0) return -100;
    int wrp = 0;
    int n = read_recent(w, wrp);
    // Wait past the newest block until the store goes away.
    for (int round = 0; round < 30 && n > 0; ++round) n = read_block(w, wrp);
    shm_detach(&w);
    return n;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  p.destroy();
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), kShmDestroyed);

  EXPECT_EQ(read_recent(h, rp), kShmDestroyed);
  // Blocks published before the end can still be read in order.
  EXPECT_EQ(check_frame(buf_.data(), read_block(h, rp)), 1);
  EXPECT_EQ(read_block(h, rp), kShmDestroyed);
  EXPECT_TRUE(fs::exists(path_));
  shm_detach(&h);
}

TEST_F(FrameStore, MisuseIsRefusedAndAShortBufferGetsTheFrameStartAndItsRealLength) {
  shm_handle h;
  errno = 0;
  EXPECT_EQ(shm_attach(path_.c_str(), kNumber, &h), -1);
  EXPECT_EQ(errno, ENOENT);
  const std::string junk = dir_ + "/junk";
  { std::FILE* f = std::fopen(junk.c_str(), "w"); ASSERT_NE(f, nullptr); std::fputs(std::string(4096, 'x').c_str(), f); std::fclose(f); }
  EXPECT_EQ(shm_attach(junk.c_str(), kNumber, &h), -1);
  EXPECT_EQ(errno, EINVAL);
  shm_handle never{};
  EXPECT_EQ(shm_detach(&never), -1);
  EXPECT_NE(shm_check_read_delay(&never, 0), 0);

  Producer p;
  open_store(p, {4, 4096, 1000});
  EXPECT_EQ(shm_attach(path_.c_str(), kNumber + 1, &h), -1);
  EXPECT_EQ(errno, ENXIO);
  ASSERT_EQ(p.publish(std::vector<uint8_t>(600, 0xAB), shm_blockinfo{}), 0);
  EXPECT_EQ(p.publish(std::vector<uint8_t>(1001), shm_blockinfo{}), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(p.publish({}, shm_blockinfo{}), -1);

  attach(&h);
  int rp = 0;
  std::vector<uint8_t> small(100, 0);
  shm_blockinfo info{};
  EXPECT_EQ(shm_read_data_blockinfo(small.data(), 100, &info, &h, &rp, 0), 100);
  EXPECT_EQ(info.len_a + info.len_b, 600u);
  EXPECT_EQ(small, std::vector<uint8_t>(100, 0xAB));
  EXPECT_EQ(shm_read_data_blockinfo(nullptr, 100, &info, &h, &rp, 0), -1);
  int bad_rp = 4;
  EXPECT_EQ(shm_read_data_blockinfo(small.data(), 100, &info, &h, &bad_rp, 0), -1);
  EXPECT_NE(shm_check_read_delay(&h, -1), 0);

  // A header changed in place fails reads, without leaving the mapping,
  // until it matches the geometry taken at attach again.
  ASSERT_EQ(p.publish(std::vector<uint8_t>(50, 0xCD), shm_blockinfo{}), 0);
  const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  constexpr off_t kBlockCount = offsetof(shm_channel_header, block_count);
  const uint32_t blocks = 4, changed = 1u << 16;
  ASSERT_EQ(pwrite(fd, &changed, 4, kBlockCount), 4);
  EXPECT_NE(shm_check_read_delay(&h, rp), 0);
  errno = 0;
  EXPECT_EQ(shm_read_data_blockinfo(small.data(), 100, &info, &h, &rp, 0), -1);
  EXPECT_EQ(errno, ESTALE);
  ASSERT_EQ(pwrite(fd, &blocks, 4, kBlockCount), 4);
  ::close(fd);
  EXPECT_EQ(shm_read_data_blockinfo(small.data(), 100, &info, &h, &rp, 0), 50);
  shm_detach(&h);
}

TEST_F(FrameStore, RestartedProducerContinuesTheStoreItOwnsAlone) {
  auto p = std::make_unique<Producer>();
  open_store(*p, {8, 4096, 1000}, kCodecJpeg);
  ASSERT_EQ(publish_frame(*p, 0, 1000), 0);
  shm_handle h;
  attach(&h);
  EXPECT_EQ(h.header->codec, kCodecJpeg);

  Producer second;
  EXPECT_EQ(second.open(path_.c_str(), kNumber, kCodecJpeg, {8, 4096, 1000}), -1);
  EXPECT_EQ(errno, EBUSY);

  // Same geometry: the attached reader sees the new codec and keeps reading.
  p->destroy();
  p = std::make_unique<Producer>();
  open_store(*p, {8, 4096, 1000}, kCodecH264);
  EXPECT_EQ(h.header->codec, kCodecH264);
  ASSERT_EQ(publish_frame(*p, 1, 1000), 0);
  int rp = 0;
  EXPECT_EQ(check_frame(buf_.data(), read_block(h, rp)), 0);
  EXPECT_EQ(check_frame(buf_.data(), read_block(h, rp)), 1);
  EXPECT_GT(read_recent(h, rp), 0);

  // Another geometry replaces the file; the old mapping learns it is gone.
  p = std::make_unique<Producer>();
  open_store(*p, {16, 8192, 1000}, kCodecH264);
  EXPECT_EQ(read_recent(h, rp), kShmDestroyed);
  shm_handle fresh;
  attach(&fresh);
  EXPECT_EQ(fresh.header->block_count, 16u);
  shm_detach(&fresh);
  shm_detach(&h);
}

}  // namespace
