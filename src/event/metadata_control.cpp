// Building and sending the metadata control request.
#include "event/metadata_control.h"

#include <cstdio>
#include <cstring>

#include "event/ipc_bytes.h"
#include "event/ipc_deliver.h"
#include "event/ipc_defs.h"
#include "event/ipc_log.h"

namespace {

// The request's text, appended line by line after the text-length word.
class request_text {
 public:
  explicit request_text(unsigned char* msg) : msg_(msg) {}

  // Formats one line through the 273-byte line buffer; false (logged) when it
  // would not fit there or in the message.
  bool add_line(const char* text, size_t text_length) {
    char line[kMetadataLineBufferSize] = {};
    const int n = std::snprintf(line, sizeof line, "%.*s\n", static_cast<int>(text_length), text);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) {
      IPC_LOG_AS("IPC_iMetadataControl", "[%d][%d]\n", n, static_cast<int>(sizeof line));
      return false;
    }
    return append(line, static_cast<size_t>(n));
  }

  bool append(const char* line, size_t n) {
    if (kMetaOffText + length_ + n > kIpcMaxMessage) {
      IPC_LOG_AS("IPC_iMetadataControl", "[%d][%d]\n", static_cast<int>(length_ + n),
                 static_cast<int>(kIpcMaxMessage - kMetaOffText));
      return false;
    }
    std::memcpy(msg_ + kMetaOffText + length_, line, n);
    length_ += n;
    ipc_put_le32(msg_, kMetaOffTextLength, static_cast<uint32_t>(length_));
    return true;
  }

 private:
  unsigned char* msg_;
  size_t length_ = 0;
};

bool build_text(const metadata_filter* filter, unsigned char* msg) {
  request_text text(msg);
  char count_line[kMetadataLineBufferSize];
  const int n = std::snprintf(count_line, sizeof count_line, "%d:%d\n", filter->topic_count, filter->item_count);
  if (!text.append(count_line, static_cast<size_t>(n))) {
    return false;
  }
  if (filter->topic_count > 0 && filter->topics == nullptr) {
    IPC_LOG_AS("IPC_iMetadataControl", "[%d]\n", filter->topic_count);
    return false;
  }
  for (int i = 0; i < filter->topic_count; ++i) {
    const topic_entry* entry = filter->topics[i];
    if (entry == nullptr) {
      IPC_LOG_AS("IPC_iMetadataControl", "[%d]\n", i);
      return false;
    }
    // Both fields are read within their 257 bytes even when unterminated.
    if (!text.add_line(entry->topic, ::strnlen(entry->topic, kTopicFieldSize))) {
      return false;
    }
    const size_t value_length = ::strnlen(entry->value, kTopicFieldSize);
    const bool added = value_length == 0 ? text.append("\n", 1) : text.add_line(entry->value, value_length);
    if (!added) {
      return false;
    }
  }
  if (filter->item_count > 0 && filter->items == nullptr) {
    IPC_LOG_AS("IPC_iMetadataControl", "[%d]\n", filter->item_count);
    return false;
  }
  for (int i = 0; i < filter->item_count; ++i) {
    const char* item = filter->items[i];
    if (item == nullptr || item[0] == '\0') {
      continue;
    }
    if (!text.add_line(item, std::strlen(item))) {
      return false;
    }
  }
  return true;
}

} // namespace

int IPC_iMetadataControl(const metadata_request* request, const metadata_filter* filter,
                         uint32_t mode, uint32_t source_id, uint32_t dest_id) {
  unsigned char msg[kIpcMaxMessage] = {};
  if (request == nullptr || filter == nullptr) {
    IPC_LOG("[%p][%p]\n", static_cast<const void*>(request), static_cast<const void*>(filter));
    return kIpcInvalid;
  }
  ipc_put_le32(msg, kMetaOffMode, mode);
  ipc_put_le32(msg, kMetaOffSetting1, request->setting1);
  ipc_put_le32(msg, kMetaOffSetting2, request->setting2);
  ipc_put_le32(msg, kMetaOffSetting3, request->setting3);
  std::memcpy(msg + kMetaOffProfile, request->profile, ::strnlen(request->profile, kProfileMaxChars));

  // Compared as unsigned, so that a negative count is refused as well.
  if (static_cast<uint32_t>(filter->topic_count) > kMetadataMaxTopics) {
    IPC_LOG("Over [%d]\n", filter->topic_count);
    return kIpcInvalid;
  }
  if (static_cast<uint32_t>(filter->item_count) > kMetadataMaxItems) {
    IPC_LOG("Over [%d]\n", filter->item_count);
    return kIpcInvalid;
  }
  if (!build_text(filter, msg)) {
    return kIpcInvalid;
  }
  ipc_write_header(msg, kIpcTypeMetadataControl, source_id, dest_id);

  ipc_deliver_step failed = ipc_deliver_step::none;
  const int result = ipc_deliver(dest_id, msg, sizeof msg, &failed);
  if (result != 0) {
    IPC_LOG("[%d]\n", result);
    return kIpcInvalid;
  }
  return 0;
}
