#include "store_feed.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "procstat.h"

namespace bench {

namespace {

constexpr uint32_t kDefaultMaxFrame = 1u << 20;
constexpr uint32_t kVideoClock = 90000;
constexpr uint8_t kRateCode = kFeedFps;

uint32_t align4(uint64_t n) { return static_cast<uint32_t>((n + 3) & ~uint64_t{3}); }

} // namespace

framestore::StoreGeometry store_geometry(const clip& c, bool whole) {
  framestore::StoreGeometry g;
  g.max_frame_size = std::max(kDefaultMaxFrame, c.largest_block);
  if (!whole) return g;
  uint64_t bytes = 0;
  for (const clip_block& b : c.blocks) bytes += align4(b.size);
  // A reader counts as delayed within an eighth of the ring or a largest
  // frame of being overwritten: keep both far away.
  g.block_count = static_cast<uint32_t>(c.blocks.size() * 2 + 64);
  g.data_size = align4(bytes + 4ull * align4(g.max_frame_size));
  return g;
}

bool store_writer::open(const framestore::StoreGeometry& g, std::string& error) {
  unlink(kStorePath);
  if (producer_.open(kStorePath, kStoreNumber, kCodecH264, g) != 0) {
    error = std::string("cannot create the frame store: ") + std::strerror(errno);
    return false;
  }
  return true;
}

int64_t store_writer::publish(const clip& c, size_t index, uint64_t frame) {
  const std::span<const uint8_t> bytes = c.block_bytes(index, scratch_);
  const feeder::PlannedBlock& block = c.plan.blocks[index];
  shm_blockinfo info{};
  info.frame_type = block.meta.frame_type;
  info.frame_rate_code = kRateCode;
  info.width = block.meta.width;
  info.height = block.meta.height;
  info.fallback_width = block.meta.width;
  info.fallback_height = block.meta.height;
  info.timestamp = static_cast<uint32_t>(frame * kVideoClock / kFeedFps);
  if (producer_.publish(bytes, info) != 0) return -1;
  return realtime_ns();
}

void store_writer::release() { producer_.close(); }

void store_writer::destroy() {
  producer_.destroy();
  producer_.close();
}

paced_feed::~paced_feed() {
  stop();
  join();
}

bool paced_feed::start(store_writer& store, const clip& c, size_t first, bool loop, int fps) {
  store_ = &store;
  fps_ = fps;
  clip_ = &c;
  first_ = first;
  loop_ = loop;
  log_.clear();
  log_.reserve(c.blocks.size() * (loop ? 64 : 1));
  stop_.store(false);
  done_.store(false);
  started_ = pthread_create(&thread_, nullptr, &paced_feed::thread_main, this) == 0;
  return started_;
}

void paced_feed::stop() { stop_.store(true); }

void paced_feed::join() {
  if (started_) pthread_join(thread_, nullptr);
  started_ = false;
}

void* paced_feed::thread_main(void* self) {
  static_cast<paced_feed*>(self)->run();
  return nullptr;
}

void paced_feed::run() {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  uint64_t frame = 0;
  size_t i = first_;
  while (!stop_.load(std::memory_order_relaxed)) {
    if (i == clip_->blocks.size()) {
      if (!loop_) break;
      i = 0;
    }
    if (clip_->blocks[i].frame_start) {
      const long long at = static_cast<long long>(frame) * 1'000'000'000LL / fps_;
      timespec when = start;
      when.tv_sec += static_cast<time_t>(at / 1'000'000'000LL);
      when.tv_nsec += static_cast<long>(at % 1'000'000'000LL);
      if (when.tv_nsec >= 1'000'000'000L) {
        when.tv_nsec -= 1'000'000'000L;
        ++when.tv_sec;
      }
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
      }
      ++frame;
    }
    const int64_t called = realtime_ns();
    const int64_t at = store_->publish(*clip_, i, frame);
    if (at < 0) break;
    if (log_.size() < log_.capacity()) log_.push_back({static_cast<uint32_t>(i), called, at});
    ++i;
  }
  done_.store(true, std::memory_order_release);
}

} // namespace bench
