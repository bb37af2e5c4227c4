#include "feed_loop.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace feeder {

namespace {

constexpr long long kNsPerSecond = 1'000'000'000LL;
// The status file is rewritten at most this often while feeding.
constexpr long long kStatusIntervalNs = 100'000'000LL;

long long now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * kNsPerSecond + t.tv_nsec;
}

// Sleeps until `deadline` (monotonic ns) unless stop is set; a signal cuts
// the sleep short so that stop is seen at once.
void sleep_until(long long deadline, const std::atomic<bool>& stop) {
  while (!stop.load(std::memory_order_relaxed)) {
    const timespec at{static_cast<time_t>(deadline / kNsPerSecond), static_cast<long>(deadline % kNsPerSecond)};
    const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    if (rc == 0) return;
    if (rc != EINTR) return;
  }
}

shm_blockinfo info_for(const PlannedBlock& block, const FeedSettings& s, uint32_t timestamp) {
  shm_blockinfo info{};
  info.frame_type = block.meta.frame_type;
  info.frame_rate_code = s.rate_code;
  info.quality = block.meta.quality;
  info.width = s.no_size ? 0 : block.meta.width;
  info.height = s.no_size ? 0 : block.meta.height;
  info.fallback_width = static_cast<uint16_t>(s.fallback_width >= 0 ? s.fallback_width : block.meta.width);
  info.fallback_height = static_cast<uint16_t>(s.fallback_height >= 0 ? s.fallback_height : block.meta.height);
  info.timestamp = timestamp;
  return info;
}

}  // namespace

void write_status(const std::string& path, const FeedCount& count, bool running) {
  if (path.empty()) return;
  const std::string temp = path + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "w");
  if (f == nullptr) return;
  std::fprintf(f, "{\"frames\":%llu,\"blocks\":%llu,\"running\":%s}\n",
               static_cast<unsigned long long>(count.frames), static_cast<unsigned long long>(count.blocks),
               running ? "true" : "false");
  if (std::fclose(f) == 0) std::rename(temp.c_str(), path.c_str());
}

FeedCount feed(const FeedPlan& plan, std::span<const uint8_t> input, framestore::Producer& store,
               const FeedSettings& settings, const std::atomic<bool>& stop, bool* failed) {
  *failed = false;
  FeedCount count;
  if (plan.blocks.empty()) return count;
  uint32_t largest = 0;
  for (const PlannedBlock& b : plan.blocks) largest = std::max(largest, block_size(b));
  std::vector<uint8_t> buffer(largest);

  const long long start = now_ns();
  long long last_status = 0;
  uint64_t audio_bytes = 0;  // bytes fed before the current block
  uint32_t timestamp = 0;
  size_t next = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    if (next == plan.blocks.size()) {
      if (!settings.loop) break;
      next = 0;
    }
    const PlannedBlock& block = plan.blocks[next];
    if (block.frame_start) {
      if (settings.max_frames != 0 && count.frames == settings.max_frames) break;
      // The frame's time on the 90 kHz clock and on the wall clock.
      const double seconds = settings.audio ? static_cast<double>(audio_bytes) / kAudioBytesPerSecond
                                            : static_cast<double>(count.frames) / settings.fps;
      timestamp = static_cast<uint32_t>(static_cast<uint64_t>(std::llround(seconds * kVideoClock)));
      if (settings.paced) {
        sleep_until(start + static_cast<long long>(seconds * kNsPerSecond), stop);
        if (stop.load(std::memory_order_relaxed)) break;
      }
      ++count.frames;
    }
    const uint32_t size = assemble_block(block, input, buffer);
    if (store.publish(std::span<const uint8_t>(buffer.data(), size), info_for(block, settings, timestamp)) != 0) {
      *failed = true;
      break;
    }
    ++count.blocks;
    audio_bytes += size;
    ++next;
    if (const long long t = now_ns(); t - last_status >= kStatusIntervalNs) {
      write_status(settings.status_path, count, true);
      last_status = t;
    }
  }
  write_status(settings.status_path, count, false);
  return count;
}

}  // namespace feeder
