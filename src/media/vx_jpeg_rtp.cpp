#include "media/vx_jpeg_rtp.h"


#include "media/frame_rate.h"
#include "media/frame_rate_query.h"
#include "media/jpeg_pacing.h"
#include "media/jpeg_rfc2435.h"
#include "media/rtp_header_init.h"
#include "media/sources.h"
#include "media/store_access.h"
#include "record/stream_record.h"
#include "support/log.h"

namespace {

constexpr char kLogUnit[] = "vx_jpeg_rtp";
constexpr long kRateQueryPeriod = 4; // whole seconds that must be exceeded

// True (and the clock restarted) when the session frame rate is to be asked.
bool rate_query_due(jpeg_source& src) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (src.rate_queried) {
    long elapsed = static_cast<long>(now.tv_sec - src.last_rate_query.tv_sec);
    if (now.tv_nsec < src.last_rate_query.tv_nsec) --elapsed;
    if (elapsed <= kRateQueryPeriod) return false;
  }
  src.rate_queried = true;
  src.last_rate_query = now;
  return true;
}

// Pictures that RFC 2435 cannot carry are not sent; each reason is logged
// once per stream, as an encoder set that way sends nothing else.
void log_refusal_once(jpeg_source& src, jpeg_fit fit) {
  if (fit == jpeg_fit::sampling && !src.told_sampling) {
    src.told_sampling = true;
    LOG_UNIT(LOG_ERR, "JPEG sampling not supported by RFC 2435, pictures not sent");
  } else if (fit == jpeg_fit::huffman && !src.told_huffman) {
    src.told_huffman = true;
    LOG_UNIT(LOG_ERR, "JPEG Huffman tables not the standard ones, pictures not sent");
  }
}

}  // namespace

jpeg_source vx_jpeg_source;

int vx_jpeg_thread_init(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  thread->init_rtp_header = vx_jpeg_init_rtp_header;
  thread->open_data_src = vx_jpeg_open_data_src;
  thread->close_data_src = vx_jpeg_close_data_src;
  thread->get_data = vx_jpeg_get_data;
  vx_jpeg_source.channel = thread->channel;
  return 0;
}

int vx_jpeg_init_rtp_header(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  init_source_rtp_header(thread, kPayloadJpeg, kSsrcSeedJpeg);
  if (thread->enable_rfc2435) {
    thread->jpeg_type_specific = 0;
    thread->jpeg_type = 1;
    thread->jpeg_q = 0;
    thread->jpeg_width = 0;
    thread->jpeg_height = 0;
  }
  return 0;
}

int vx_jpeg_open_data_src(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  auto& src = vx_jpeg_source;
  if (attach_with_retries(kLogUnit, video_store_of(src.channel), src.channel, attach_wording::plain,
                          &src.handle) < 0) {
    return -1;
  }
  if (wait_for_codec(kLogUnit, &src.handle, kCodecJpeg, src.channel) < 0) return -1;
  thread->data_size = static_cast<int>(src.handle.max_frame);
  src.rp = newest_block(src.handle);
  src.rate_queried = false;
  src.told_sampling = false;
  src.told_huffman = false;
  return 0;
}

int vx_jpeg_close_data_src(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  detach_store(kLogUnit, &vx_jpeg_source.handle);
  return 0;
}

int vx_jpeg_get_data(rtp_thread* thread, unsigned char* buff, int size) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  AVTD_ASSERT(buff != nullptr, "buff != ((void *)0)");
  AVTD_ASSERT(size > 0, "size > 0");
  auto& src = vx_jpeg_source;

  shm_blockinfo info{};
  if (shm_check_read_delay(&src.handle, src.rp) != 0) {
    log_read_delay(kLogUnit, src.handle, src.rp);
    src.rp = newest_block(src.handle);
  }
  const int n = shm_read_data_blockinfo(buff, size, &info, &src.handle, &src.rp, 0);
  if (n <= 0) {
    LOG_NAMED(LOG_ERR, kLogUnit, "  : shm_read_data_blockinfo error");
    return -1;
  }
  int length = checked_frame_length(kLogUnit, info, n, size);
  if (length < 0) return -1;
  if (thread->enable_rfc2435) {
    jpeg_fit fit = jpeg_fit::fits;
    length = prepare_rfc2435_picture(thread, info, buff, length, &fit);
    log_refusal_once(src, fit);
  }

  // Every picture read moves the clock on, sent or not.
  thread->rtp_timestamp += jpeg_frame_period(info.frame_rate_code);
  thread->rtp_payload_type = kPayloadJpeg;
  if (length <= 0) return 0;

  if (rate_query_due(src)) {
    src.target_rate = jpeg_target_rate(thread->framerate, query_session_frame_rate(kLogUnit));
  }
  return jpeg_pace(jpeg_source_rate(info.frame_rate_code), src.target_rate, &src.drop_count) ? length : 0;
}
