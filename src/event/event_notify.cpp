// Building and sending the event notice; allocating and freeing its record.
#include "event/event_notify.h"

#include <cstdio>
#include <cstring>

#include "event/ipc_bytes.h"
#include "event/ipc_defs.h"
#include "event/ipc_deliver.h"
#include "event/ipc_log.h"
#include "event/ipc_memory.h"

namespace {

struct item_group {
  const char* label;
  int count;
  event_item** items;
};

// Appends "<label>,<name>,<value>\n" per item; false (logged) on an empty
// field, a line too long for the line buffer, or a text too long for the message.
bool append_group(const item_group& group, unsigned char* msg, size_t* text_length) {
  if (group.count != 0 && group.items == nullptr) {
    IPC_LOG_AS("IPC_iEventNotify", "[%d]\n", group.count);
    return false;
  }
  for (int i = 0; i < group.count; ++i) {
    const event_item* item = group.items[i];
    if (item == nullptr) {
      IPC_LOG_AS("IPC_iEventNotify", "[%d]\n", i);
      return false;
    }
    const int name_length = static_cast<int>(::strnlen(item->name, sizeof item->name));
    const int value_length = static_cast<int>(::strnlen(item->value, sizeof item->value));
    if (name_length == 0 || value_length == 0) {
      IPC_LOG_AS("IPC_iEventNotify", "[%.*s][%.*s]\n", name_length, item->name, value_length, item->value);
      return false;
    }
    char line[kEventLineBufferSize];
    const int n = std::snprintf(line, sizeof line, "%s%s%.*s%s%.*s\n", group.label, ",", name_length,
                                item->name, ",", value_length, item->value);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) {
      IPC_LOG_AS("IPC_iEventNotify", "[%d][%d]\n", n, static_cast<int>(sizeof line));
      return false;
    }
    // Any count is taken, but the text never runs past the message.
    if (kEventOffText + *text_length + static_cast<size_t>(n) > kIpcMaxMessage) {
      IPC_LOG_AS("IPC_iEventNotify", "[%d][%d]\n", static_cast<int>(*text_length + n),
                 static_cast<int>(kIpcMaxMessage - kEventOffText));
      return false;
    }
    std::memcpy(msg + kEventOffText + *text_length, line, static_cast<size_t>(n));
    *text_length += static_cast<size_t>(n);
    ipc_put_le32(msg, kEventOffTextLength, static_cast<uint32_t>(*text_length));
  }
  return true;
}

void free_items(event_item*** items, int count) {
  if (*items == nullptr) {
    return;
  }
  for (int i = 0; i < count; ++i) {
    if ((*items)[i] != nullptr) {
      IPC_vFreeAs(&(*items)[i]);
    }
  }
  IPC_vFreeAs(items);
}

bool allocate_items(event_item*** items, int count) {
  if (count == 0) {
    return true;
  }
  *items = static_cast<event_item**>(IPC_pMalloc(sizeof(event_item*) * count));
  if (*items == nullptr) {
    return false;
  }
  for (int i = 0; i < count; ++i) {
    (*items)[i] = static_cast<event_item*>(IPC_pMalloc(sizeof(event_item)));
    if ((*items)[i] == nullptr) {
      return false;
    }
  }
  return true;
}

} // namespace

int IPC_iEventNotify(event_record record, uint32_t source_id, uint32_t dest_id) {
  unsigned char msg[kIpcMaxMessage] = {};
  ipc_put_le32(msg, kEventOffField1, record.field1);
  ipc_put_le32(msg, kEventOffField2, record.field2);
  ipc_put_le32(msg, kEventOffField3, record.field3);
  std::memcpy(msg + kEventOffTopic, record.topic, ::strnlen(record.topic, kEventTopicMaxChars));

  size_t text_length = 0;
  const item_group groups[] = {
      {"Source", record.source_count, record.sources},
      {"Key", record.key_count, record.keys},
      {"Data", record.data_count, record.data},
  };
  for (const item_group& group : groups) {
    if (!append_group(group, msg, &text_length)) {
      return kIpcInvalid;
    }
  }
  ipc_write_header(msg, kIpcTypeEventNotify, source_id, dest_id);

  ipc_deliver_step failed = ipc_deliver_step::none;
  const int result = ipc_deliver(dest_id, msg, sizeof msg, &failed);
  if (result != 0) {
    IPC_LOG("[%d]\n", result);
    return kIpcInvalid;
  }
  return 0;
}

int IPC_iMakeEventStruct(event_record** record, int source_count, int key_count, int data_count) {
  if (record == nullptr || source_count < 0 || source_count > kEventMaxSources || key_count < 0 ||
      key_count > kEventMaxKeys || data_count < 0 || data_count > kEventMaxData) {
    IPC_LOG("[%d][%d][%d]\n", source_count, key_count, data_count);
    return kIpcInvalid;
  }
  auto* made = static_cast<event_record*>(IPC_pMalloc(sizeof(event_record)));
  if (made == nullptr) {
    return kIpcInvalid;
  }
  made->source_count = source_count;
  made->key_count = key_count;
  made->data_count = data_count;
  if (!allocate_items(&made->sources, source_count) || !allocate_items(&made->keys, key_count) ||
      !allocate_items(&made->data, data_count)) {
    IPC_vFreeEventStruct(&made);
    return kIpcInvalid;
  }
  *record = made;
  return 0;
}

void IPC_vFreeEventStruct(event_record** record) {
  if (record == nullptr || *record == nullptr) {
    return;
  }
  event_record* r = *record;
  free_items(&r->sources, r->source_count);
  free_items(&r->keys, r->key_count);
  free_items(&r->data, r->data_count);
  IPC_vFreeAs(record);
}
