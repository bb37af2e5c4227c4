// A frame store in a temporary directory, standing in for one of the
// device's channels for the media-source tests (the channel table entry is
// pointed at it for the fixture's lifetime), and what those tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "helpers/media_log.h"
#include "platform/framestore.h"
#include "platform/framestore_producer.h"
#include "stream/rtp_thread.h"

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

// The messages of an open that gives up: when `codec_check` is given, its
// eleven codec checks; then the eleven failed attaches and the time-out.
// "{}" in either text stands for the retries left (10 down to 0).
std::vector<std::string> given_up_messages(const std::string& unit, const std::string& codec_check,
                                           const std::string& attach);

// A source driven the way the stream thread drives it, with its messages
// captured and its pauses counted.
class source_test : public ::testing::Test {
 protected:
  static constexpr int kBufferSize = 16 * 1024;

  void start(int (*thread_init)(rtp_thread*), int channel) {
    thread->channel = channel;
    thread->running = 1;
    thread_init(thread.get());
    thread->init_rtp_header(thread.get());
  }
  int open() { return thread->open_data_src(thread.get()); }
  int get(int size = kBufferSize) { return thread->get_data(thread.get(), buff.data(), size); }
  // The first `n` bytes of the buffer: what a get() that returned n handed out.
  std::vector<uint8_t> got(int n) const { return {buff.begin(), buff.begin() + std::max(n, 0)}; }

  std::unique_ptr<rtp_thread> thread = std::make_unique<rtp_thread>();
  std::vector<uint8_t> buff = std::vector<uint8_t>(kBufferSize);
  log_capture log;
  fast_sleeps sleeps;
};

}  // namespace media_test
