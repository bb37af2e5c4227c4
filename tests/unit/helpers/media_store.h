// A frame store in a temporary directory, standing in for one of the
// device's channels for the media-source tests: the channel table entry is
// pointed at it for the fixture's lifetime.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/framestore.h"
#include "platform/framestore_producer.h"

namespace media_test {

enum class channel_kind { video, audio };

class temp_store {
 public:
  // Points entry `channel` of the video table (or the first audio entry) at
  // a new store in a temporary directory holding `codec`.
  temp_store(channel_kind kind, int channel, uint32_t codec, framestore::StoreGeometry geometry = small());
  ~temp_store();
  temp_store(const temp_store&) = delete;
  temp_store& operator=(const temp_store&) = delete;

  static framestore::StoreGeometry small() { return {16, 64 * 1024, 16 * 1024}; }

  void publish(const std::vector<uint8_t>& frame, const shm_blockinfo& info);
  framestore::Producer& producer() { return producer_; }
  const std::string& path() const { return path_; }

 private:
  shm_conf_entry* entry_;
  shm_conf_entry saved_;
  std::string dir_;
  std::string path_;
  framestore::Producer producer_;
};

// Points a channel entry at a path where no store exists.
class missing_store {
 public:
  missing_store(channel_kind kind, int channel);
  ~missing_store();

 private:
  shm_conf_entry* entry_;
  shm_conf_entry saved_;
};

// Replaces the sources' one-second pauses while it lives: counts them and
// calls `on_sleep` (with the count so far) instead of sleeping.
class fast_sleeps {
 public:
  explicit fast_sleeps(std::function<void(int)> on_sleep = {});
  ~fast_sleeps();
  int count() const;
};

shm_blockinfo block_info(uint8_t frame_type = 0, uint8_t frame_rate_code = 30);

// An H.264 block: start code, NAL header byte `nal`, then `body` bytes
// counting up from `seed`.
std::vector<uint8_t> nal_block(uint8_t nal, size_t body = 40, uint8_t seed = 0);

}  // namespace media_test
