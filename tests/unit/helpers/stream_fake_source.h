// A scripted data source for driving the stream thread in-process: each
// get_data call plays the next step (a frame, an empty pass, a failure or an
// oversize result); then the source ends.
#pragma once

#include <cstdint>
#include <vector>

#include "stream/rtp_thread.h"

namespace stream_test {

struct source_step {
  int result = 0;              // > 0 frame (bytes copied, result = their count unless oversized), 0, < 0
  std::vector<uint8_t> bytes;  // frame bytes copied into the buffer
  uint32_t timestamp = 0;
};

class fake_source {
 public:
  // Installs the callbacks; only one fake source is active at a time.
  void install(rtp_thread& thread, int payload, int data_size);

  void frame(std::vector<uint8_t> bytes, uint32_t timestamp = 0);
  void result(int value, int times = 1);
  // A frame whose reported length is larger than the buffer it was given.
  void oversize();
  void fail_open() { open_result_ = -1; }

  int get_data_calls() const { return get_data_calls_; }
  int open_calls() const { return open_calls_; }
  int close_calls() const { return close_calls_; }

 private:
  static int on_init(rtp_thread* thread);
  static int on_open(rtp_thread* thread);
  static int on_close(rtp_thread* thread);
  static int on_get_data(rtp_thread* thread, unsigned char* buff, int size);

  std::vector<source_step> steps_;
  size_t next_ = 0;
  int data_size_ = 0;
  int payload_ = 0;
  int open_result_ = 0;
  int get_data_calls_ = 0;
  int open_calls_ = 0;
  int close_calls_ = 0;
};

// A distinct, recognisable byte pattern of n bytes.
std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0);

} // namespace stream_test
