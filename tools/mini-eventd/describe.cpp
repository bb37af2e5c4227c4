#include "describe.h"

#include <string_view>
#include <utility>
#include <vector>

#include "event/onvif_event_ipc.h"
#include "json_line.h"

namespace {

using pair_list = std::vector<std::pair<std::string_view, std::string_view>>;

json_line start(const char* op, const ipc_header& h) {
  json_line line;
  line.str("op", op).num("source_id", h.source_id).num("dest_id", h.dest_id);
  return line;
}

std::string malformed(const ipc_header& h) {
  json_line line;
  return line.str("op", "malformed").num("type", h.type).num("length", h.length).done();
}

std::string metadata_control(const unsigned char* msg, size_t size, const ipc_header& h,
                             request_effect* effect) {
  metadata_request request{};
  metadata_filter filter{};
  uint32_t mode = 0;
  if (IPC_iMakeMetadataFilterStructFromMsg(msg, size, &request, &filter, &mode) != 0) {
    return malformed(h);
  }
  pair_list topics;
  for (int i = 0; i < filter.topic_count; ++i) {
    topics.emplace_back(filter.topics[i]->topic, filter.topics[i]->value);
  }
  std::vector<std::string_view> items;
  for (int i = 0; i < filter.item_count; ++i) {
    items.emplace_back(filter.items[i]);
  }
  json_line line;
  line.str("op", "metadata_control")
      .num("mode", mode)
      .num("source_id", h.source_id)
      .str("profile", request.profile)
      .pairs("topics", topics)
      .strings("items", items)
      .num("text_length", ipc_get_le32(msg, kMetaOffTextLength))
      .num("dest_id", h.dest_id)
      .raw("settings", "[" + std::to_string(request.setting1) + "," + std::to_string(request.setting2) +
                           "," + std::to_string(request.setting3) + "]");
  IPC_iFreeMetadataFilter(&filter);
  effect->endpoint = h.source_id;
  effect->subscribe = mode == kMetadataModeStart;
  effect->unsubscribe = mode == kMetadataModeStop;
  return line.done();
}

std::string event_notify(const unsigned char* msg, size_t size, const ipc_header& h) {
  event_record* record = nullptr;
  if (IPC_iMakeEventStructFromNotify(msg, size, &record) != 0) {
    return malformed(h);
  }
  auto items = [](event_item** list, int count) {
    pair_list out;
    for (int i = 0; i < count; ++i) {
      out.emplace_back(list[i]->name, list[i]->value);
    }
    return out;
  };
  json_line line = start("event_notify", h);
  line.num("field1", record->field1)
      .num("field2", record->field2)
      .num("field3", record->field3)
      .str("topic", record->topic)
      .pairs("sources", items(record->sources, record->source_count))
      .pairs("keys", items(record->keys, record->key_count))
      .pairs("data", items(record->data, record->data_count));
  IPC_vFreeEventStruct(&record);
  return line.done();
}

} // namespace

std::string describe_message(const unsigned char* msg, size_t size, request_effect* effect) {
  const ipc_header h = ipc_read_header(msg);
  char text[kSubscriptionTextSize];
  char name[kShortTextSize];
  switch (h.type) {
    case kIpcTypeMetadataControl:
      return metadata_control(msg, size, h, effect);
    case kIpcTypeEventNotify:
      return event_notify(msg, size, h);
    case kIpcTypeMediaSync:
      if (IPC_iGetMediaSynchronization(msg, size, text) != 0) {
        return malformed(h);
      }
      return start("media_sync", h).str("text", text).done();
    case kIpcTypeSubscriptionControl: {
      uint32_t value = 0;
      if (IPC_iGetSubscriptionControl(msg, size, &value, text) != 0) {
        return malformed(h);
      }
      return start("subscription_control", h).num("value", value).str("text", text).done();
    }
    case kIpcTypeTimeChange: {
      uint32_t a = 0;
      uint32_t b = 0;
      if (IPC_iGetTimeChange(msg, size, &a, &b) != 0) {
        return malformed(h);
      }
      return start("time_change", h).num("a", a).num("b", b).done();
    }
    case kIpcTypePtzNotify: {
      ptz_record record{};
      if (IPC_iGetPTZNotify(msg, size, &record, name) != 0) {
        return malformed(h);
      }
      return start("ptz", h).str("token", name).done();
    }
    case kIpcTypeTcpDisconnection:
      return start("tcp_disconnection", h).num("param", h.param).done();
    default:
      break;
  }
  if (h.length == kNoParamMessageSize) {
    return start("no_param", h).num("type", h.type).num("param", h.param).done();
  }
  if (h.length == kConnectInfoMessageSize) {
    return start("connect_info", h).num("type", h.type).done();
  }
  return start("message", h).num("type", h.type).num("param", h.param).num("length", h.length).done();
}
