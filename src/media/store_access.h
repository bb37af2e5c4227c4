// What every frame-store source does the same way: attaching with retries,
// waiting for the channel's codec, the read-delay and detach messages, and
// checking a block's announced size against the caller's buffer.
#pragma once

#include <cstdint>

#include "platform/framestore.h"

inline constexpr int kAttachAttempts = 11;
inline constexpr int kCodecChecks = 11;

// How a source words its attach failures.
enum class attach_wording {
  plain,              // "shm_attach error[%s]"
  channel,            // "shm_attach error[%s](channel=%d)"
  channel_and_retry,  // "shm_attach error[%s](channel=%d, retry=%d)"
};

struct store_ref {
  const char* name;
  int number;
};

// Entry `channel` (0..3) of the video channel table.
store_ref video_store_of(int channel);
// The first audio channel, which the audio source always reads.
store_ref audio_store();

// Up to kAttachAttempts attempts, one second apart; 0 or -1 after
// "shm attach timeout error". `unit` is the source's name in messages.
int attach_with_retries(const char* unit, store_ref store, int channel, attach_wording wording,
                        shm_handle* handle);

// Waits (kCodecChecks checks, one second apart) for the channel to carry
// `codec`. 0 when it does; otherwise the handle is detached and -1 returned.
int wait_for_codec(const char* unit, shm_handle* handle, uint32_t codec, int channel);

// Newest block index of the attached store.
int newest_block(const shm_handle& handle);

// "read delay [...]" with the reader's index, the writer's and their offsets.
void log_read_delay(const char* unit, const shm_handle& handle, int rp);

// Detaches, logging a failure; the sources' close always succeeds.
void detach_store(const char* unit, shm_handle* handle);

// The frame's byte size as its block info announces it, checked against the
// buffer ("size over" and -1 when it does not fit). Otherwise the number of
// frame bytes really in the buffer: the read count, but never more than the
// announced size or the buffer.
int checked_frame_length(const char* unit, const shm_blockinfo& info, int read_count, int size);
