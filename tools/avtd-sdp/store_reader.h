// Reading the newest blocks of a frame store for the stream parameters.
#pragma once

#include <cstdint>
#include <string>

#include "stream_params.h"

namespace sdp {

struct StoreFacts {
  bool attached = false;
  std::string error;      // why nothing was read
  uint32_t codec = 0;
  H264ParamSets h264;
  Mpeg4Config mpeg4;
  unsigned width = 0;     // of the newest picture
  unsigned height = 0;
  double framerate = 0;   // from the newest block's frame-rate code
};

enum class Want { h264, mpeg4, jpeg };

// Looks back from the newest block (at most `max_blocks` blocks) for what
// `want` needs; when the ring holds none of it, waits up to `wait_seconds`
// for new blocks. Never writes to the store.
StoreFacts read_store(const char* name, int number, Want want, int max_blocks, double wait_seconds);

} // namespace sdp
