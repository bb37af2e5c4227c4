// Writes a plan into a store, paced, looped and counted.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "feed_plan.h"
#include "platform/framestore_producer.h"

namespace feeder {

struct FeedSettings {
  double fps = 30.0;            // frames per second when paced by frames
  uint8_t rate_code = 30;
  bool audio = false;           // pace by bytes at kAudioBytesPerSecond instead
  bool paced = true;
  bool loop = false;
  uint64_t max_frames = 0;      // 0: no limit
  int fallback_width = -1;      // -1: the block's own size
  int fallback_height = -1;
  bool no_size = false;
  std::string status_path;
};

inline constexpr double kAudioBytesPerSecond = 8000.0;
inline constexpr uint32_t kVideoClock = 90000;

struct FeedCount {
  uint64_t frames = 0;
  uint64_t blocks = 0;
};

// Publishes the plan's blocks in order until the plan ends (or, with loop,
// max_frames is reached) or `stop` is set. Blocks of one frame go out
// together at the frame's time. Returns what was fed; a block that the store
// refuses ends the feed with errno set and *failed true.
FeedCount feed(const FeedPlan& plan, std::span<const uint8_t> input, framestore::Producer& store,
               const FeedSettings& settings, const std::atomic<bool>& stop, bool* failed);

// Rewrites the status file (atomically, through a rename).
void write_status(const std::string& path, const FeedCount& count, bool running);

}  // namespace feeder
