#include "media/store_access.h"


#include <algorithm>
#include <cerrno>
#include <cstring>

#include "media/media_sleep.h"
#include "support/log.h"

namespace {
// Header words change under the producer's hands; read each one whole.
template <typename T>
T load_shared(const T& word) {
  return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}
}  // namespace

store_ref video_store_of(int channel) {
  constexpr int kChannels = sizeof shm_chan_conf / sizeof shm_chan_conf[0];
  AVTD_ASSERT(channel >= 0 && channel < kChannels, "channel >= 0 && channel < 4");
  return {shm_chan_conf[channel].name, shm_chan_conf[channel].number};
}

store_ref audio_store() {
  return {audio_chan_conf[0].name, audio_chan_conf[0].number};
}

int attach_with_retries(const char* unit, store_ref store, int channel, attach_wording wording,
                        shm_handle* handle) {
  for (int attempt = 1; attempt <= kAttachAttempts; ++attempt) {
    if (shm_attach(store.name, store.number, handle) >= 0) return 0;
    const char* why = std::strerror(errno);
    const int left = kAttachAttempts - attempt;
    switch (wording) {
      case attach_wording::plain:
        LOG_NAMED(LOG_ERR, unit, " : shm_attach error[%s]", why);
        break;
      case attach_wording::channel:
        LOG_NAMED(LOG_ERR, unit, " : shm_attach error[%s](channel=%d)", why, channel);
        break;
      case attach_wording::channel_and_retry:
        LOG_NAMED(LOG_ERR, unit, " : shm_attach error[%s](channel=%d, retry=%d)", why, channel, left);
        break;
    }
    if (left > 0) media_sleep(1);
  }
  LOG_NAMED(LOG_ERR, unit, " : shm attach timeout error");
  return -1;
}

int wait_for_codec(const char* unit, shm_handle* handle, uint32_t codec, int channel) {
  for (int check = 1; check <= kCodecChecks; ++check) {
    const uint32_t found = load_shared(handle->header->codec);
    if (found == codec) return 0;
    const int left = kCodecChecks - check;
    LOG_NAMED(LOG_INFO, unit, " : codec unmatch. requested=%d, channel[%d]=%d, retry=%d", static_cast<int>(codec),
              channel, static_cast<int>(found), left);
    if (left > 0) media_sleep(1);
  }
  shm_detach(handle);
  return -1;
}

int newest_block(const shm_handle& handle) {
  return load_shared(handle.header->wp);
}

void log_read_delay(const char* unit, const shm_handle& handle, int rp) {
  // A delay is also reported for an index outside the ring: no block to show.
  const bool in_ring = rp >= 0 && static_cast<uint32_t>(rp) < handle.block_count;
  const uint32_t roffset = in_ring ? load_shared(handle.blocks[rp].roffset) : 0;
  LOG_NAMED(LOG_INFO, unit, " : read delay [rp=%ld, wp=%ld, roffset=%ld, woffset=%ld]", static_cast<long>(rp),
            static_cast<long>(load_shared(handle.header->wp)), static_cast<long>(roffset),
            static_cast<long>(load_shared(handle.header->woffset)));
}

void detach_store(const char* unit, shm_handle* handle) {
  if (shm_detach(handle) < 0) {
    LOG_NAMED(LOG_ERR, unit, " : detach shared memory[%d:%s] error", static_cast<int>(handle->id), std::strerror(errno));
  }
}

int checked_frame_length(const char* unit, const shm_blockinfo& info, int read_count, int size) {
  // Summed wide so that two huge halves cannot wrap into a small frame.
  const unsigned long long announced = static_cast<unsigned long long>(info.len_a) + info.len_b;
  if (announced > static_cast<unsigned long long>(static_cast<unsigned>(size))) {
    LOG_NAMED(LOG_ERR, unit, " : size over[%lld > %d]", static_cast<long long>(announced), size);
    return -1;
  }
  // The frame is what both the read and the block info say is there.
  const int announced_int = static_cast<int>(announced);
  return std::clamp(std::min(read_count, announced_int), 0, size);
}
