// The feeder's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace feeder {

enum class Codec { h264, jpeg, mpeg4, ulaw };

struct Options {
  Codec codec = Codec::h264;
  int channel = -1;
  bool playback = false;
  std::string input;
  double fps = 30.0;
  int rate_code = -1;          // -1: derived from fps
  uint64_t max_frames = 0;     // 0: no limit
  bool loop = false;
  bool unpaced = false;
  bool keep = false;
  uint32_t raw_block = 0;      // 0: split by codec
  uint32_t audio_block = 320;  // mu-law block size
  std::string status_path;
  std::string store_path;      // empty: the channel's store
  int store_number = -1;
  uint32_t blocks = 0;         // store geometry; 0 keeps the default
  uint32_t ring_size = 0;
  uint32_t max_frame = 0;
  int fallback_width = -1;     // -1: the picture's own size
  int fallback_height = -1;
  bool no_size = false;
  bool repeat_headers = true;  // h264: parameter sets in front of every key frame, else only when new
  bool help = false;
};

struct ParseResult {
  std::optional<Options> options;
  std::string error;  // set when options is empty
};

ParseResult parse_options(int argc, char* argv[]);

// The frame_rate_code for a rate: 64 for 7.5, 254 for 0.5, else the rate
// rounded (1..253).
uint8_t rate_code_for(double fps);

extern const char kUsage[];

}  // namespace feeder
