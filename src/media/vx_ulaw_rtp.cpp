#include "media/vx_ulaw_rtp.h"


#include <cstring>

#include "media/rtp_header_init.h"
#include "media/sources.h"
#include "media/store_access.h"
#include "record/stream_record.h"
#include "support/log.h"

namespace {

constexpr char kLogUnit[] = "vx_ulaw_rtp";

// Appends one read to the buffer. > 0 bytes added; otherwise a failure that
// has been logged and leaves the buffer as it was.
int read_more(ulaw_source& src) {
  shm_blockinfo info{};
  uint8_t* const at = src.audio + src.fill;
  int n = 0;
  if (!src.synced) {
    n = shm_read_recent_data_blockinfo(at, kUlawReadSize, &info, &src.handle, &src.rp, 0);
    if (n == kShmDestroyed) {
      LOG_UNIT(LOG_INFO, "shared memory destroyed");
      return -1;
    }
  } else if (shm_check_read_delay(&src.handle, src.rp) != 0) {
    log_read_delay(kLogUnit, src.handle, src.rp);
    src.rp = newest_block(src.handle);
    src.talkspurt = true;
    n = shm_read_recent_data_blockinfo(at, kUlawReadSize, &info, &src.handle, &src.rp, 0);
  } else {
    n = shm_read_data_blockinfo(at, kUlawReadSize, &info, &src.handle, &src.rp, 0);
  }
  // The store never copies more than asked; a larger count is not believed.
  if (n <= 0 || n > kUlawReadSize) {
    src.talkspurt = true;
    LOG_NAMED(LOG_ERR, kLogUnit, "  : shm_read_data_blockinfo error");
    return -1;
  }
  src.synced = 1;
  return n;
}

}  // namespace

ulaw_source vx_ulaw_source;

int vx_ulaw_thread_init(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  thread->init_rtp_header = vx_ulaw_init_rtp_header;
  thread->open_data_src = vx_ulaw_open_data_src;
  thread->close_data_src = vx_ulaw_close_data_src;
  thread->get_data = vx_ulaw_get_data;
  thread->enable_rfc2435 = false;
  vx_ulaw_source.channel = thread->channel;
  return 0;
}

int vx_ulaw_init_rtp_header(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  init_source_rtp_header(thread, kPayloadUlaw, kSsrcSeedOther);
  return 0;
}

int vx_ulaw_open_data_src(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  auto& src = vx_ulaw_source;
  if (attach_with_retries(kLogUnit, audio_store(), src.channel, attach_wording::channel, &src.handle) < 0) {
    return -1;
  }
  thread->data_size = static_cast<int>(src.handle.max_frame);
  src.rp = newest_block(src.handle);
  return 0;
}

int vx_ulaw_close_data_src(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  detach_store(kLogUnit, &vx_ulaw_source.handle);
  return 0;
}

int vx_ulaw_get_data(rtp_thread* thread, unsigned char* buff, int size) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  AVTD_ASSERT(buff != nullptr, "buff != ((void *)0)");
  AVTD_ASSERT(size > 0, "size > 0");
  if (size < kUlawUnit) {
    LOG_UNIT(LOG_INFO, "size is too small %d < %d", size, kUlawUnit);
    return -1;
  }
  auto& src = vx_ulaw_source;
  if (!src.synced || src.fill < kUlawUnit) {
    const int n = read_more(src);
    if (n < 0) return -1;
    src.fill += n;
  }
  // Not a whole unit yet: nothing is sent and the time stamp waits for the
  // samples, so no stale audio goes out.
  if (src.fill < kUlawUnit) return 0;

  std::memcpy(buff, src.audio, kUlawUnit);
  src.fill -= kUlawUnit;
  std::memmove(src.audio, src.audio + kUlawUnit, static_cast<size_t>(src.fill));
  thread->rtp_timestamp += kUlawUnit;
  thread->rtp_payload_type = kPayloadUlaw;
  // Without silence suppression only a talkspurt's first packet is marked.
  thread->rtp_marker = src.talkspurt ? 1 : 0;
  src.talkspurt = false;
  return kUlawUnit;
}
