// The RTCP thread: sender reports every 5 s on the next port pair, and
// receiver keep-alives on its UDP port.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "net/network.h"

struct rtp_thread;

struct rtcp_thread {
  pthread_t tid{};
  std::atomic<int> running{0};
  int interleaved = 1;
  network_setting ns;
};

int init_rtcp_thread(rtcp_thread* rtcp, rtp_thread* rtp);
void* rtcp_thread_exe(void* arg);
