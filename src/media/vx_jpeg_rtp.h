// JPEG source: one picture per frame-store block, paced towards the target
// frame rate, as whole files or as RFC 2435 scan data.
#pragma once

#include <time.h>

#include "platform/framestore.h"

struct rtp_thread;

// Process-wide source state (one stream per process).
struct jpeg_source {
  int channel = -1;
  int rp = 0;
  shm_handle handle{};
  bool rate_queried = false;  // cleared by open: the first picture asks
  timespec last_rate_query{}; // monotonic
  float target_rate = 0.0f;
  int drop_count = 0;
  bool told_sampling = false; // a picture RFC 2435 cannot describe has been logged
  bool told_huffman = false;
};
extern jpeg_source vx_jpeg_source;

int vx_jpeg_init_rtp_header(rtp_thread* thread);
int vx_jpeg_open_data_src(rtp_thread* thread);
int vx_jpeg_close_data_src(rtp_thread* thread);
int vx_jpeg_get_data(rtp_thread* thread, unsigned char* buff, int size);
