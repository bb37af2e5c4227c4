// The network-state notice to the event manager on "/tmp/localrec".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The notice as the event manager reads it, native byte order.
struct evman_msg {
  int32_t word0; // 7
  int32_t word1; // 15
  int32_t state; // 1 = network error, 0 = network working again
  uint8_t zero[1000];
};
static_assert(sizeof(evman_msg) == 1012);
static_assert(offsetof(evman_msg, word0) == 0);
static_assert(offsetof(evman_msg, word1) == 4);
static_assert(offsetof(evman_msg, state) == 8);
static_assert(offsetof(evman_msg, zero) == 12);

inline constexpr int32_t kEvmanWord0 = 7;
inline constexpr int32_t kEvmanWord1 = 15;
inline constexpr int kEvmanReplyWaitSeconds = 5;

// State of the last notice the event manager accepted (0 at start). Only the
// stream thread changes it; atomic so that tests may look from outside.
extern std::atomic<int> net_error_notified;

// notify_evman against another socket path (tests use a private one).
int notify_evman_at(const char* path, int state);
