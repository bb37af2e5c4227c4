// The stream thread over the stream record.
#pragma once

#include "record/stream_record.h"

int init_rtp_thread(rtp_thread* thread);
void* rtp_thread_exe(void* arg);

// One NAL unit found by find_nal_unit: start (with its start code), length, type byte.
struct nal_unit {
  const unsigned char* data = nullptr;
  int length = 0;
  int type = 0;
};
// Scan the first min(length, 512) bytes for a 4-byte start code; false when none.
bool find_nal_unit(const unsigned char* buffer, int length, nal_unit* unit);

// Restart the keep-alive clock (async-signal-safe: one atomic store).
void refresh_keep_alive();
