// State shared by the stream thread and the RTCP thread: the sender
// statistics of the next report, whether the stream still runs, and the
// receiver's keep-alive flag.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

struct rtcp_stats_block {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  uint8_t version = 0;
  uint8_t padding = 0;
  uint8_t count = 0;
  uint8_t packet_type = 0;
  uint16_t length = 0;
  uint32_t ssrc = 0;
  uint32_t ntp_seconds = 0;
  uint32_t ntp_fraction = 0;
  uint32_t rtp_timestamp = 0;
  uint32_t packet_count = 0;
  uint32_t octet_count = 0;
};

extern rtcp_stats_block rtcp_stats;
extern std::atomic<int> stream_active; // 1 until the stream thread reports it stopped
extern std::atomic<int> keep_alive;

void update_stats(uint32_t timestamp, uint32_t packets, uint32_t octets, int running);
