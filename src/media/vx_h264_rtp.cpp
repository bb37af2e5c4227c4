#include "media/vx_h264_rtp.h"

#include <syslog.h>

#include "media/frame_rate.h"
#include "media/rtp_header_init.h"
#include "media/sources.h"
#include "media/store_access.h"
#include "record/stream_record.h"
#include "support/log.h"

namespace {

constexpr char kLogUnit[] = "vx_h264_rtp";
constexpr uint8_t kKeyFrame = 8;
constexpr int kNalTypeOffset = 4; // after the 4-byte start code
constexpr int kNalSlice = 1;
constexpr int kNalIdrSlice = 5;
constexpr int kNalSei = 6;
constexpr int kNalSps = 7;

bool is_key_frame(const shm_blockinfo& info) {
  return info.frame_type == kKeyFrame;
}

// first_mb_in_slice is the slice header's first ue(v): 0, that is a new
// picture, exactly when the first bit after the NAL header is 1.
bool starts_picture(int type, const unsigned char* buff, int length) {
  return (type == kNalSlice || type == kNalIdrSlice) && length > kNalTypeOffset + 1 &&
         (buff[kNalTypeOffset + 1] & 0x80) != 0;
}

// Whether the block after the one just read is a slice that continues the
// same picture. The device's encoder never cuts a picture into slices: for
// its stream only a block that is in the store already is looked at, so
// nothing waits. Once a stream has shown cut pictures, the next block is
// waited for as a read waits, since only it tells whether this slice ends
// the picture. Only the block's first bytes are read, and the reader stays
// where it was.
bool next_continues_picture(video_reader& reader, bool wait) {
  const int blocks = static_cast<int>(reader.handle.block_count);
  if (blocks <= 0) return false;
  if (!wait && newest_block(reader.handle) == (reader.rp + blocks - 1) % blocks) return false;
  unsigned char head[kNalTypeOffset + 2] = {};
  shm_blockinfo info{};
  int rp = reader.rp;
  const int n = shm_read_data_blockinfo(head, sizeof head, &info, &reader.handle, &rp, 0);
  const int type = head[kNalTypeOffset] & 0x1F;
  return n == static_cast<int>(sizeof head) && (type == kNalSlice || type == kNalIdrSlice) &&
         (head[kNalTypeOffset + 1] & 0x80) == 0;
}

// The clock moves once per picture: at an SPS, or at the first slice of a
// picture that no SPS opened. Slices that continue a picture keep its time.
void step_clock(h264_source& src, rtp_thread& thread, int type, bool first_slice, uint8_t rate_code) {
  if (type == kNalSps) {
    thread.rtp_timestamp += video_frame_period(rate_code);
    src.picture_stepped = true;
  } else if (first_slice) {
    if (!src.picture_stepped) thread.rtp_timestamp += video_frame_period(rate_code);
    src.picture_stepped = false;
  }
}

}  // namespace

h264_source vx_h264_source;

int vx_h264_thread_init(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  thread->init_rtp_header = vx_h264_init_rtp_header;
  thread->open_data_src = vx_h264_open_data_src;
  thread->close_data_src = vx_h264_close_data_src;
  thread->get_data = vx_h264_get_data;
  thread->enable_rfc2435 = false;
  vx_h264_source.channel = thread->channel;
  return 0;
}

int vx_h264_init_rtp_header(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  init_source_rtp_header(thread, kPayloadH264, kSsrcSeedOther);
  return 0;
}

int vx_h264_open_data_src(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  auto& src = vx_h264_source;
  store_ref store{};
  if (thread->enable_sdplay) {
    syslog(LOG_INFO, "SDPLAY ON: shm_attach(/tmp/shm9)\n");
    store = {kPlaybackStoreName, kPlaybackStoreNumber};
  } else {
    store = video_store_of(src.channel);
  }
  if (attach_with_retries(kLogUnit, store, src.channel, attach_wording::channel_and_retry,
                          &src.reader.handle) < 0) {
    return -1;
  }
  if (!thread->enable_sdplay && wait_for_codec(kLogUnit, &src.reader.handle, kCodecH264, src.channel) < 0) {
    return -1;
  }
  thread->data_size = static_cast<int>(src.reader.handle.max_frame);
  src.reader.rp = newest_block(src.reader.handle);
  return 0;
}

int vx_h264_close_data_src(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  detach_store(kLogUnit, &vx_h264_source.reader.handle);
  return 0;
}

int vx_h264_get_data(rtp_thread* thread, unsigned char* buff, int size) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  AVTD_ASSERT(buff != nullptr, "buff != ((void *)0)");
  AVTD_ASSERT(size > 0, "size > 0");
  auto& src = vx_h264_source;
  const video_read_rules rules{kLogUnit, is_key_frame, thread->enable_sdplay, true};

  shm_blockinfo info{};
  const int n = read_video_block(src.reader, rules, *thread, buff, size, &info);
  if (n <= 0) return n;
  const int length = checked_frame_length(kLogUnit, info, n, size);
  if (length < 0) return -1;

  // A block too short to hold a NAL header has no type; it is sent as it is.
  const int type = length > kNalTypeOffset ? (buff[kNalTypeOffset] & 0x1F) : 0;
  const bool slice = type == kNalSlice || type == kNalIdrSlice;
  const bool first_slice = starts_picture(type, buff, length);
  if (thread->enable_sdplay) {
    thread->rtp_timestamp = info.timestamp;
  } else {
    step_clock(src, *thread, type, first_slice, info.frame_rate_code);
  }
  // A picture's marker goes on its last slice: a slice that a further slice
  // of its picture follows leaves it to that one.
  // The stream's first slice waits for the next block too (once, about a
  // frame period): before any cut picture has been seen, the first picture
  // of a sliced stream would otherwise end at its first slice.
  src.sliced = src.sliced || (slice && !first_slice);
  const bool wait = src.sliced || (slice && !src.first_slice_seen);
  thread->unit_continues_picture = !thread->enable_sdplay && slice && next_continues_picture(src.reader, wait);
  src.first_slice_seen = src.first_slice_seen || slice;
  thread->rtp_payload_type = kPayloadH264;
  if (type == kNalSei && thread->disable_h264user) return 0;
  return length;
}
