#include "media/rtp_header_init.h"

#include "record/stream_record.h"

void init_source_rtp_header(rtp_thread* thread, int payload_type, uint32_t seed) {
  thread->rtp_version = 2;
  thread->rtp_padding = 0;
  thread->rtp_extension = 0;
  thread->rtp_csrc_count = 0;
  thread->rtp_marker = 0;
  thread->rtp_payload_type = static_cast<uint8_t>(payload_type);
  thread->rtp_seq = 0;
  thread->rtp_timestamp = 0;
  thread->rtp_ssrc = make_ssrc(thread, seed);
}
