#include "media/video_reader.h"

#include <unistd.h>

#include "media/store_access.h"
#include "record/stream_record.h"
#include "support/log.h"

namespace {

int read_one(video_reader& reader, unsigned char* buff, int size, shm_blockinfo* info) {
  *info = shm_blockinfo{};
  return shm_read_data_blockinfo(buff, size, info, &reader.handle, &reader.rp, 0);
}

void log_failed_read(const char* unit, int result, bool with_length) {
  if (with_length) {
    LOG_NAMED(LOG_ERR, unit, "  : shm_read_data_blockinfo error, data_length=%d", result);
  } else {
    LOG_NAMED(LOG_ERR, unit, "  : shm_read_data_blockinfo error");
  }
}

bool still_running(const rtp_thread& thread) {
  return thread.running.load() == 1;
}

}  // namespace

int read_video_block(video_reader& reader, const video_read_rules& rules, const rtp_thread& thread,
                     unsigned char* buff, int size, shm_blockinfo* info) {
  if (reader.synced) {
    if (!rules.playback && shm_check_read_delay(&reader.handle, reader.rp) != 0) {
      log_read_delay(rules.unit, reader.handle, reader.rp);
      reader.synced = 0; // start again at the next key frame
    } else {
      const int n = read_one(reader, buff, size, info);
      if (n <= 0) {
        log_failed_read(rules.unit, n, rules.synced_error_with_length);
        return -1;
      }
      return n;
    }
  }

  reader.rp = rules.playback ? 0 : newest_block(reader.handle);
  // Each pass either reads a new block (the store waits about a second at
  // most) or fails, and the search ends as soon as the stream is stopped.
  for (;;) {
    const int n = read_one(reader, buff, size, info);
    if (n <= 0) {
      log_failed_read(rules.unit, n, true);
      return -1;
    }
    if (rules.playback || rules.is_key(*info)) {
      reader.synced = 1;
      return still_running(thread) ? n : 0;
    }
    usleep(1);
    if (!still_running(thread)) return 0;
  }
}
