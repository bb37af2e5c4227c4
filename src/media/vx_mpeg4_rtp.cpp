#include "media/vx_mpeg4_rtp.h"

#include "media/frame_rate.h"
#include "media/rtp_header_init.h"
#include "media/sources.h"
#include "media/store_access.h"
#include "record/stream_record.h"
#include "support/log.h"

namespace {

constexpr char kLogUnit[] = "vx_mpeg4_rtp";
// Block frame types of an I-VOP, where a receiver can start decoding.
constexpr uint8_t kIntraVop = 15;
constexpr uint8_t kIntraVopAlt = 12;

bool is_intra_vop(const shm_blockinfo& info) {
  return info.frame_type == kIntraVop || info.frame_type == kIntraVopAlt;
}

}  // namespace

mpeg4_source vx_mpeg4_source;

int vx_mpeg4_thread_init(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  LOG_UNIT(LOG_INFO, "vx_mpeg4_thread_init()");
  thread->init_rtp_header = vx_mpeg4_init_rtp_header;
  thread->open_data_src = vx_mpeg4_open_data_src;
  thread->close_data_src = vx_mpeg4_close_data_src;
  thread->get_data = vx_mpeg4_get_data;
  thread->enable_rfc2435 = false;
  vx_mpeg4_source.channel = thread->channel;
  return 0;
}

int vx_mpeg4_init_rtp_header(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  LOG_UNIT(LOG_INFO, "vx_mpeg4_init_rtp_header()");
  init_source_rtp_header(thread, kPayloadMpeg4, kSsrcSeedOther);
  return 0;
}

int vx_mpeg4_open_data_src(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  LOG_UNIT(LOG_INFO, "vx_mpeg4_open_data_src()");
  auto& src = vx_mpeg4_source;
  if (attach_with_retries(kLogUnit, video_store_of(src.channel), src.channel, attach_wording::channel,
                          &src.reader.handle) < 0) {
    return -1;
  }
  if (wait_for_codec(kLogUnit, &src.reader.handle, kCodecMpeg4, src.channel) < 0) return -1;
  thread->data_size = static_cast<int>(src.reader.handle.max_frame);
  src.reader.rp = newest_block(src.reader.handle);
  return 0;
}

int vx_mpeg4_close_data_src(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  LOG_UNIT(LOG_INFO, "vx_mpeg4_close_data_src()");
  detach_store(kLogUnit, &vx_mpeg4_source.reader.handle);
  return 0;
}

int vx_mpeg4_get_data(rtp_thread* thread, unsigned char* buff, int size) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  AVTD_ASSERT(buff != nullptr, "buff != ((void *)0)");
  AVTD_ASSERT(size > 0, "size > 0");
  const video_read_rules rules{kLogUnit, is_intra_vop, false, false};

  shm_blockinfo info{};
  const int n = read_video_block(vx_mpeg4_source.reader, rules, *thread, buff, size, &info);
  if (n <= 0) return n;
  const int length = checked_frame_length(kLogUnit, info, n, size);
  if (length < 0) return -1;
  thread->rtp_timestamp += video_frame_period(info.frame_rate_code);
  thread->rtp_payload_type = kPayloadMpeg4;
  return length;
}
