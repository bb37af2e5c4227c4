// The receiving side of the event notice.
#include <cstring>
#include <string_view>

#include "event/event_notify.h"
#include "event/ipc_bytes.h"
#include "event/ipc_defs.h"
#include "event/ipc_log.h"
#include "event/ipc_text.h"

namespace {

enum class item_kind { source, key, data, none };

// "Source,<name>,<value>" and the like: the kind, and the rest after the label's comma.
item_kind kind_of(std::string_view line, std::string_view* rest) {
  constexpr std::string_view kLabels[] = {"Source,", "Key,", "Data,"};
  for (int k = 0; k < 3; ++k) {
    if (line.substr(0, kLabels[k].size()) == kLabels[k]) {
      *rest = line.substr(kLabels[k].size());
      return static_cast<item_kind>(k);
    }
  }
  return item_kind::none;
}

// The name runs to the first comma, the value is the rest; both must be
// non-empty, as the sender refuses empty ones.
bool read_item(std::string_view rest, event_item* item) {
  const size_t comma = rest.find(',');
  if (comma == std::string_view::npos || comma == 0 || comma + 1 == rest.size()) {
    return false;
  }
  return ipc_copy_line(rest.substr(0, comma), item->name, sizeof item->name) &&
         ipc_copy_line(rest.substr(comma + 1), item->value, sizeof item->value);
}

} // namespace

int IPC_iMakeEventStructFromNotify(const unsigned char* msg, size_t size, event_record** record) {
  if (msg == nullptr || record == nullptr || size < kEventOffText) {
    IPC_LOG("[%d]\n", static_cast<int>(size));
    return kIpcInvalid;
  }
  const ipc_header header = ipc_read_header(msg);
  const uint32_t text_length = ipc_get_le32(msg, kEventOffTextLength);
  if (header.type != kIpcTypeEventNotify || header.length < kEventOffText || header.length > size ||
      text_length > header.length - kEventOffText) {
    IPC_LOG("[%u][%u][%u]\n", header.type, header.length, text_length);
    return kIpcInvalid;
  }

  int counts[3] = {0, 0, 0};
  ipc_line_reader counter(msg + kEventOffText, text_length);
  std::string_view line;
  std::string_view rest;
  while (counter.next(&line)) {
    const item_kind kind = kind_of(line, &rest);
    if (kind == item_kind::none) {
      IPC_LOG("[%u]\n", text_length);
      return kIpcInvalid;
    }
    ++counts[static_cast<int>(kind)];
  }
  if (!counter.at_end()) {
    IPC_LOG("[%u]\n", text_length);
    return kIpcInvalid;
  }
  event_record* made = nullptr;
  if (IPC_iMakeEventStruct(&made, counts[0], counts[1], counts[2]) != 0) {
    return kIpcInvalid;
  }
  event_item** arrays[3] = {made->sources, made->keys, made->data};
  int filled[3] = {0, 0, 0};
  ipc_line_reader reader(msg + kEventOffText, text_length);
  while (reader.next(&line)) {
    const int k = static_cast<int>(kind_of(line, &rest));
    if (!read_item(rest, arrays[k][filled[k]++])) {
      IPC_LOG("[%u]\n", text_length);
      IPC_vFreeEventStruct(&made);
      return kIpcInvalid;
    }
  }
  made->field1 = ipc_get_le32(msg, kEventOffField1);
  made->field2 = ipc_get_le32(msg, kEventOffField2);
  made->field3 = ipc_get_le32(msg, kEventOffField3);
  std::memcpy(made->topic, msg + kEventOffTopic, kEventTopicMaxChars);
  made->topic[kEventTopicMaxChars] = '\0';
  *record = made;
  return 0;
}
