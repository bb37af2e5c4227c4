// The frame store of channel 0, written by the benchmark itself where it has
// to know when each block was published: a paced feed that logs the
// publication time of every block.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "clip.h"
#include "platform/framestore_producer.h"

namespace bench {

inline constexpr char kStorePath[] = "/tmp/shm0"; // video channel 0
inline constexpr int kStoreNumber = 100;
inline constexpr int kFeedFps = 30;

// The feeder's default geometry, or (whole) one that holds all of `c` plus a
// spare block without wrapping, so that an unpaced feed never laps the reader.
framestore::StoreGeometry store_geometry(const clip& c, bool whole);

class store_writer {
 public:
  // Replaces any store at kStorePath with a fresh one.
  bool open(const framestore::StoreGeometry& g, std::string& error);
  // Publishes block `index` of `c` as part of frame number `frame`; returns
  // CLOCK_REALTIME just after the store made it visible and woke its readers.
  int64_t publish(const clip& c, size_t index, uint64_t frame);
  // Lets go of the store, which stays live for readers and other producers.
  void release();
  // Marks the store destroyed (its readers end) and lets go of it.
  void destroy();

 private:
  framestore::Producer producer_;
  std::vector<uint8_t> scratch_;
};

// Publishes the clip's frames at `fps` from block `first` on, once or in a
// loop, in a thread of its own; records when each block became visible.
struct publication_record {
  uint32_t block;
  int64_t called_ns; // CLOCK_REALTIME when publish was called (before the copy into the ring)
  int64_t at_ns;     // when it returned: the block visible, its readers woken
};

class paced_feed {
 public:
  ~paced_feed();
  bool start(store_writer& store, const clip& c, size_t first, bool loop, int fps = kFeedFps);
  void stop();   // ends a looping feed early
  void join();   // waits for the end of the feed
  bool done() const { return done_.load(std::memory_order_acquire); }
  const std::vector<publication_record>& log() const { return log_; }

 private:
  static void* thread_main(void* self);
  void run();

  store_writer* store_ = nullptr;
  const clip* clip_ = nullptr;
  size_t first_ = 0;
  bool loop_ = false;
  int fps_ = kFeedFps;
  pthread_t thread_{};
  bool started_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::vector<publication_record> log_;
};

} // namespace bench
