// MPEG-4 video source: one VOP per frame-store block, from an I-VOP on.
#pragma once

#include "media/video_reader.h"

struct rtp_thread;

// Process-wide source state (one stream per process).
struct mpeg4_source {
  int channel = -1;
  video_reader reader;
};
extern mpeg4_source vx_mpeg4_source;

int vx_mpeg4_init_rtp_header(rtp_thread* thread);
int vx_mpeg4_open_data_src(rtp_thread* thread);
int vx_mpeg4_close_data_src(rtp_thread* thread);
int vx_mpeg4_get_data(rtp_thread* thread, unsigned char* buff, int size);
