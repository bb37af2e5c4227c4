// H.264 source: one NAL unit per frame-store block, from a key frame on; or
// SD playback of the playback store with the blocks' own timestamps.
#pragma once

#include "media/video_reader.h"

struct rtp_thread;

// Process-wide source state (one stream per process).
struct h264_source {
  int channel = -1;
  video_reader reader;
  bool picture_stepped = false; // an SPS has moved the clock for the picture it opens
  bool sliced = false;          // the encoder cuts pictures into several slices
  bool first_slice_seen = false; // the stream's first slice has looked at what follows it
};
extern h264_source vx_h264_source;

int vx_h264_init_rtp_header(rtp_thread* thread);
int vx_h264_open_data_src(rtp_thread* thread);
int vx_h264_close_data_src(rtp_thread* thread);
int vx_h264_get_data(rtp_thread* thread, unsigned char* buff, int size);
