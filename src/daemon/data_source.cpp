// Choice of the data source by payload: each source installs its own
// callbacks into the stream record.
#include "daemon/data_source.h"

#include "event/vx_metadata_rtp.h"
#include "media/sources.h"
#include "stream/rtp_thread.h"
#include "support/log.h"

int select_data_source(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  switch (thread->payload) {
  case kPayloadJpeg:
    return vx_jpeg_thread_init(thread);
  case kPayloadUlaw:
    return vx_ulaw_thread_init(thread);
  case kPayloadMpeg4:
    return vx_mpeg4_thread_init(thread);
  case kPayloadMetadata:
    return vx_metadata_thread_init(thread);
  default:
    return vx_h264_thread_init(thread);
  }
}
