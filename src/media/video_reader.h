// Reading video blocks in order from a key frame on, shared by the H.264 and
// MPEG-4 sources: the first read, and the first read after the reader fell
// behind, skip ahead to the next key frame at the newest block.
#pragma once

#include "platform/framestore.h"

struct rtp_thread;

struct video_reader {
  int synced = 0; // reading has started at an acceptable block
  int rp = 0;
  shm_handle handle{};
};

struct video_read_rules {
  const char* unit;                        // source name in messages
  bool (*is_key)(const shm_blockinfo&);    // where reading may start
  bool playback;                           // SD playback: from block 0, every block, no delay check
  bool synced_error_with_length;           // whether a failed in-order read logs its result
};

// Reads the next block to send into buff (at most size bytes) and its info.
// > 0: the read count; 0: stopped (`running` cleared) while looking for a key
// frame; -1: a read failed.
int read_video_block(video_reader& reader, const video_read_rules& rules, const rtp_thread& thread,
                     unsigned char* buff, int size, shm_blockinfo* info);
