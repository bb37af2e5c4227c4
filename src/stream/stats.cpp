#include "stream/stats.h"

#include "stream/rtp_thread.h"

rtcp_stats_block rtcp_stats;
std::atomic<int> stream_active{1};
std::atomic<int> keep_alive{0};

void update_stats(uint32_t timestamp, uint32_t packets, uint32_t octets, int running) {
  pthread_mutex_lock(&rtcp_stats.mutex);
  stream_active.store(running);
  rtcp_stats.rtp_timestamp = timestamp;
  rtcp_stats.packet_count = packets;
  rtcp_stats.octet_count = octets;
  pthread_mutex_unlock(&rtcp_stats.mutex);
}

// Also called from the SIGUSR1 handler: one lock-free store and nothing else.
void refresh_keep_alive() { keep_alive.store(1, std::memory_order_relaxed); }

static_assert(std::atomic<int>::is_always_lock_free);
