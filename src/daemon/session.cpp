// Session registration through the session-service library.
#include "daemon/session.h"

#include <cstdio>
#include <cstring>

#include "stream/rtp_thread.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "session";

namespace {

const char* codec_name(int payload) {
  switch (payload) {
  case kPayloadJpeg:
    return "jpeg";
  case kPayloadH264:
    return "h264";
  case kPayloadMpeg4:
    return "mpeg4";
  case kPayloadUlaw:
    return "ulaw";
  default:
    return nullptr;
  }
}

// The session daemon's frame-rate table knows 7.5 where the command line
// can only say 7.
float registered_framerate(int framerate) { return framerate == 7 ? 7.5f : static_cast<float>(framerate); }

} // namespace

bool make_session_info(const rtp_thread* thread, session_info* info) {
  const char* codec = codec_name(thread->payload);
  if (codec == nullptr) {
    return false;
  }
  std::memset(info, 0, sizeof *info);
  info->session_id = thread->session_id;
  info->channel = thread->channel;
  std::memcpy(info->codec, codec, std::strlen(codec));
  // Bounded by the field: the last byte stays 0 even for an unterminated host.
  std::memcpy(info->host, thread->ns.host, strnlen(thread->ns.host, sizeof info->host - 1));
  info->dstport = thread->ns.dstport;
  info->framerate = registered_framerate(thread->framerate);
  info->bitrate = thread->bitrate;
  return true;
}

int add_session(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  session_info info{};
  if (!make_session_info(thread, &info)) {
    syslog(LOG_ERR, "avtd - %s : %d : invalid encode [%d]", kLogUnit, __LINE__, thread->payload);
    return -1;
  }
  if (s_udp_add_session(&info) != 0) {
    LOG_UNIT(LOG_ERR, "add_sesion error");
    return -1;
  }
  thread->session_id = info.session_id;
  return 0;
}

int update_session(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  return s_update_session(thread->session_id, thread->bitrate);
}

int remove_session(int session_id) {
  AVTD_ASSERT(session_id >= 0, "session_id >= 0");
  return s_remove_session(session_id);
}
