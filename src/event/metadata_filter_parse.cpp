// The receiving side of the metadata control request.
#include <cstring>
#include <string_view>

#include "event/ipc_bytes.h"
#include "event/ipc_defs.h"
#include "event/ipc_log.h"
#include "event/ipc_memory.h"
#include "event/ipc_text.h"
#include "event/metadata_control.h"

namespace {

// The text of a well-formed request: "<topics>:<items>", two lines per topic,
// at most one line per item (an empty item has none), nothing more.
bool read_text(ipc_line_reader& reader, metadata_filter* filter) {
  std::string_view line;
  if (!reader.next(&line)) {
    return false;
  }
  const size_t colon = line.find(':');
  int topics = 0;
  int items = 0;
  if (colon == std::string_view::npos || !ipc_parse_count(line.substr(0, colon), &topics) ||
      !ipc_parse_count(line.substr(colon + 1), &items) || topics > kMetadataMaxTopics ||
      items > kMetadataMaxItems) {
    return false;
  }
  if (topics > 0) {
    filter->topics = static_cast<topic_entry**>(IPC_pMalloc(sizeof(topic_entry*) * topics));
    if (filter->topics == nullptr) {
      return false;
    }
  }
  filter->topic_count = topics;
  for (int i = 0; i < topics; ++i) {
    filter->topics[i] = static_cast<topic_entry*>(IPC_pMalloc(sizeof(topic_entry)));
    topic_entry* entry = filter->topics[i];
    if (entry == nullptr || !reader.next(&line) || !ipc_copy_line(line, entry->topic, sizeof entry->topic) ||
        !reader.next(&line) || !ipc_copy_line(line, entry->value, sizeof entry->value)) {
      return false;
    }
  }
  if (items > 0) {
    filter->items = static_cast<char**>(IPC_pMalloc(sizeof(char*) * items));
    if (filter->items == nullptr) {
      return false;
    }
  }
  filter->item_count = items;
  for (int i = 0; i < items; ++i) {
    filter->items[i] = static_cast<char*>(IPC_pMalloc(kMetadataItemSize));
    if (filter->items[i] == nullptr) {
      return false;
    }
    if (!reader.at_end() && (!reader.next(&line) || !ipc_copy_line(line, filter->items[i], kMetadataItemSize))) {
      return false;
    }
  }
  return reader.at_end();
}

} // namespace

int IPC_iMakeMetadataFilterStructFromMsg(const unsigned char* msg, size_t size,
                                         metadata_request* request, metadata_filter* filter,
                                         uint32_t* mode) {
  if (msg == nullptr || request == nullptr || filter == nullptr) {
    IPC_LOG("[%p][%p]\n", static_cast<const void*>(request), static_cast<const void*>(filter));
    return kIpcInvalid;
  }
  std::memset(filter, 0, sizeof *filter);
  if (size < kMetaOffText) {
    IPC_LOG("[%d]\n", static_cast<int>(size));
    return kIpcInvalid;
  }
  const ipc_header header = ipc_read_header(msg);
  const uint32_t text_length = ipc_get_le32(msg, kMetaOffTextLength);
  if (header.type != kIpcTypeMetadataControl || header.length < kMetaOffText || header.length > size ||
      text_length > header.length - kMetaOffText) {
    IPC_LOG("[%u][%u][%u]\n", header.type, header.length, text_length);
    return kIpcInvalid;
  }
  ipc_line_reader reader(msg + kMetaOffText, text_length);
  if (!read_text(reader, filter)) {
    IPC_LOG("[%u]\n", text_length);
    IPC_iFreeMetadataFilter(filter);
    return kIpcInvalid;
  }
  std::memset(request, 0, sizeof *request);
  request->setting1 = ipc_get_le32(msg, kMetaOffSetting1);
  request->setting2 = ipc_get_le32(msg, kMetaOffSetting2);
  request->setting3 = ipc_get_le32(msg, kMetaOffSetting3);
  std::memcpy(request->profile, msg + kMetaOffProfile, kProfileMaxChars);
  request->profile[kProfileMaxChars] = '\0';
  if (mode != nullptr) {
    *mode = ipc_get_le32(msg, kMetaOffMode);
  }
  return 0;
}

int IPC_iFreeMetadataFilter(metadata_filter* filter) {
  if (filter == nullptr) {
    return kIpcInvalid;
  }
  if (filter->topics != nullptr) {
    for (int i = 0; i < filter->topic_count; ++i) {
      if (filter->topics[i] != nullptr) {
        IPC_vFreeAs(&filter->topics[i]);
      }
    }
    IPC_vFreeAs(&filter->topics);
  }
  if (filter->items != nullptr) {
    for (int i = 0; i < filter->item_count; ++i) {
      if (filter->items[i] != nullptr) {
        IPC_vFreeAs(&filter->items[i]);
      }
    }
    IPC_vFreeAs(&filter->items);
  }
  std::memset(filter, 0, sizeof *filter);
  return 0;
}
