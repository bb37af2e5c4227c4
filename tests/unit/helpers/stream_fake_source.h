// A scripted data source for driving the stream thread in-process: each
// get_data call plays the next step (a frame, an empty pass, a failure or an
// oversize result); then the source ends.
#pragma once

#include <cstdint>
#include <vector>

#include "stream/rtp_thread.h"

namespace stream_test {

struct fake_source {
  // Installs the callbacks; only one fake source is active at a time.
  void install(rtp_thread& thread, int payload, int data_size);
  void frame(std::vector<uint8_t> bytes, uint32_t timestamp = 0) {
    const int n = static_cast<int>(bytes.size());
    steps.push_back({n, std::move(bytes), timestamp});
  }
  void result(int value, int times = 1) { steps.insert(steps.end(), static_cast<size_t>(times), {value, {}, 0}); }
  // A frame whose reported length is larger than the buffer it was given.
  void oversize() { steps.push_back({data_size + 1, std::vector<uint8_t>(16, 0xEE), 0}); }

  struct step {
    int result;                 // > 0: a frame of `bytes` (never more than the buffer is copied)
    std::vector<uint8_t> bytes;
    uint32_t timestamp;
  };
  std::vector<step> steps;
  size_t next = 0;
  int payload = 0;
  int data_size = 0;
  int open_result = 0;
  int get_data_calls = 0;
  int open_calls = 0;
  int close_calls = 0;
};

// A distinct, recognisable byte pattern of n bytes.
std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0);

} // namespace stream_test
