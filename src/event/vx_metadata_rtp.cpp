// The ONVIF metadata data source.
#include "event/vx_metadata_rtp.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "event/ipc_defs.h"
#include "event/ipc_memory.h"
#include "event/metadata_control.h"
#include "record/stream_record.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "vx_metadata_rtp";

namespace {

constexpr uint32_t kSsrcSeed = 109;
constexpr uint32_t kTimestampStep = 45000; // per delivery, whatever the time between them
constexpr int kStartRetries = 20;          // after the first attempt, one second apart
constexpr unsigned kRetryPauseSeconds = 1;
constexpr int kWaitMs = 5000;              // bounds how long a stop waits for get_data
constexpr char kProfile[] = "default.profile";
constexpr const char* kTopics[] = {
    "tns1:MotionDetectionEvent",
    "tns1:Device/tns1:Trigger/tns1:DigitalInput",
    "tns1:VideoSource/tns1:MotionAlarm",
};
constexpr int kTopicCount = sizeof kTopics / sizeof kTopics[0];
constexpr char kTopicValue[] = "*";

// One stream per process; touched by the stream thread only.
struct metadata_source {
  ipc_handle handle = 0;
  metadata_request request{};
  metadata_filter filter{};
  unsigned char message[kIpcMaxMessage];
};
metadata_source g_source;

uint32_t own_endpoint() { return kIpcMetadataBaseId + g_source.request.index; }

int send_request(uint32_t mode) {
  return IPC_iMetadataControl(&g_source.request, &g_source.filter, mode, own_endpoint(),
                              kIpcEventServiceId);
}

void release_topics() {
  IPC_iFreeMetadataFilter(&g_source.filter);
}

bool build_subscription() {
  release_topics();
  std::memset(&g_source.request, 0, sizeof g_source.request);
  g_source.request.setting1 = 1;
  g_source.request.setting2 = 1;
  g_source.request.setting3 = 1;
  std::snprintf(g_source.request.profile, sizeof g_source.request.profile, "%s", kProfile);

  metadata_filter& filter = g_source.filter;
  filter.item_count = 0;
  filter.topics = static_cast<topic_entry**>(IPC_pMalloc(sizeof(topic_entry*) * kTopicCount));
  if (filter.topics == nullptr) {
    return false;
  }
  filter.topic_count = kTopicCount;
  for (int i = 0; i < kTopicCount; ++i) {
    filter.topics[i] = static_cast<topic_entry*>(IPC_pMalloc(sizeof(topic_entry)));
    if (filter.topics[i] == nullptr) {
      release_topics();
      return false;
    }
    std::snprintf(filter.topics[i]->topic, sizeof filter.topics[i]->topic, "%s", kTopics[i]);
    std::snprintf(filter.topics[i]->value, sizeof filter.topics[i]->value, "%s", kTopicValue);
  }
  return true;
}

} // namespace

int vx_metadata_thread_init(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  thread->init_rtp_header = vx_metadata_init_rtp_header;
  thread->open_data_src = vx_metadata_open_data_src;
  thread->close_data_src = vx_metadata_close_data_src;
  thread->get_data = vx_metadata_get_data;
  thread->enable_rfc2435 = false;
  return 0;
}

int vx_metadata_init_rtp_header(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  thread->rtp_version = 2;
  thread->rtp_padding = 0;
  thread->rtp_extension = 0;
  thread->rtp_csrc_count = 0;
  thread->rtp_marker = 0;
  thread->rtp_payload_type = kPayloadMetadata;
  thread->rtp_seq = 0;
  thread->rtp_ssrc = make_ssrc(thread, kSsrcSeed);
  thread->rtp_timestamp = 0;
  return 0;
}

int vx_metadata_open_data_src(rtp_thread* thread) {
  // An allocation failure of the topics fails the open like any other.
  if (!build_subscription()) {
    return -1;
  }
  // The start request goes out before the endpoint listens: the event
  // service looks the port up in the address file when it delivers.
  int result = send_request(kMetadataModeStart);
  for (int retry = 0; result != 0 && retry < kStartRetries; ++retry) {
    LOG_UNIT(LOG_INFO, "iMetadataControl error(ret=%d)", result);
    ::sleep(kRetryPauseSeconds);
    result = send_request(kMetadataModeStart);
  }
  if (result != 0) {
    LOG_UNIT(LOG_INFO, "iMetadataControl error(ret=%d)", result);
    LOG_UNIT(LOG_INFO, "iMetadataControl open timeout (ret=%d)", result);
    release_topics();
    return -1;
  }
  result = IPC_iOpen(own_endpoint(), kIpcModeListen, &g_source.handle);
  if (result != 0) {
    LOG_UNIT(LOG_INFO, "iOpen error(ret=%d)", result);
    send_request(kMetadataModeStop);
    g_source.handle = 0;
    release_topics();
    return -1;
  }
  thread->data_size = static_cast<int>(kIpcMaxMessage);
  return 0;
}

int vx_metadata_get_data(rtp_thread* thread, unsigned char* buff, int size) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  AVTD_ASSERT(buff != nullptr, "buff != ((void *)0)");
  AVTD_ASSERT(size > 0, "size > 0");
  std::memset(g_source.message, 0, sizeof g_source.message);

  int result = IPC_iSelect(g_source.handle, kWaitMs);
  if (result == kIpcNothingPending) {
    return 0;
  }
  if (result != 0) {
    LOG_UNIT(LOG_INFO, "iSelect error(ret=%d)", result);
    return -1;
  }
  uint32_t length = 0;
  result = IPC_iReceive(g_source.handle, g_source.message, &length, sizeof g_source.message);
  if (result == kIpcNothingPending) {
    return 0;
  }
  if (result != 0) {
    LOG_UNIT(LOG_INFO, "iReceive error(ret=%d)", result);
    return -1;
  }
  // IPC_iReceive has checked that the header's length is what arrived.
  const uint32_t received = ipc_get_le32(g_source.message, kIpcOffLength);
  if (received < kIpcDeliveryOffPayload) {
    LOG_UNIT(LOG_INFO, "invalid delivery length(%u<%u)", received, static_cast<unsigned>(kIpcDeliveryOffPayload));
    return 0;
  }
  const uint32_t n = ipc_get_le32(g_source.message, kIpcDeliveryOffLength);
  if (static_cast<uint32_t>(size) < n) {
    LOG_UNIT(LOG_INFO, "too few buffer size(%d<%d)", size, static_cast<int>(n));
    return 0;
  }
  // A payload length beyond the received bytes would copy stale or foreign
  // memory into the stream: such a delivery is dropped.
  if (n > received - kIpcDeliveryOffPayload) {
    LOG_UNIT(LOG_INFO, "invalid delivery length(%u>%u)", n,
             static_cast<unsigned>(received - kIpcDeliveryOffPayload));
    return 0;
  }
  std::memcpy(buff, g_source.message + kIpcDeliveryOffPayload, n);
  thread->rtp_payload_type = kPayloadMetadata;
  thread->rtp_timestamp += kTimestampStep;
  return static_cast<int>(n);
}

void vx_metadata_use_endpoint_for_tests(ipc_handle handle) { g_source.handle = handle; }

int vx_metadata_close_data_src(rtp_thread*) {
  int result = send_request(kMetadataModeStop);
  if (result != 0) {
    LOG_UNIT(LOG_INFO, "iMetadataControl error(ret=%d)", result);
  }
  result = IPC_iClose(g_source.handle);
  if (result != 0) {
    LOG_UNIT(LOG_INFO, "iClose error(ret=%d)", result);
  }
  g_source.handle = 0;
  release_topics();
  return 0;
}
