// G.711 mu-law audio source: collects the first audio channel's blocks and
// hands out 512-byte units, one packet each.
#pragma once

#include <cstdint>

#include "platform/framestore.h"

struct rtp_thread;

inline constexpr int kUlawUnit = 512;        // bytes (= samples) per packet
inline constexpr int kUlawReadSize = 1072;   // bytes asked of the store per read
inline constexpr int kUlawBufferSize = 2 * kUlawReadSize;

// Process-wide source state (one stream per process).
struct ulaw_source {
  int channel = -1;
  int synced = 0; // the first read has been made; never cleared
  int rp = 0;
  shm_handle handle{};
  int fill = 0;   // bytes held at the front of `audio`
  // The next unit starts a talkspurt: the stream's first, and the first after
  // the reader lost its place (a read delay or a failed read).
  bool talkspurt = true;
  uint8_t audio[kUlawBufferSize] = {};
};
extern ulaw_source vx_ulaw_source;

int vx_ulaw_init_rtp_header(rtp_thread* thread);
int vx_ulaw_open_data_src(rtp_thread* thread);
int vx_ulaw_close_data_src(rtp_thread* thread);
int vx_ulaw_get_data(rtp_thread* thread, unsigned char* buff, int size);
