// Every receiving-side reader of the event IPC channel on one message of
// exactly `size` bytes; what a reader accepts must be within the limits the
// senders keep, with every text terminated inside its field.
#pragma once

#include <cstring>
#include <memory>

#include "event/onvif_event_ipc.h"
#include "fuzz_support.h"

inline bool fuzz_terminated(const char* field, size_t size) { return std::memchr(field, '\0', size) != nullptr; }

inline void fuzz_read_every_notice(const unsigned char* msg, size_t size) {
  if (size >= kIpcHeaderSize) {
    const int check = IPC_iCheckID(msg);
    FUZZ_EXPECT(check == 0 || check == kIpcInvalid);
  }

  auto request = std::make_unique<metadata_request>();
  metadata_filter filter{};
  uint32_t mode = 0;
  if (IPC_iMakeMetadataFilterStructFromMsg(msg, size, request.get(), &filter, &mode) == 0) {
    FUZZ_EXPECT(filter.topic_count >= 0 && filter.topic_count <= kMetadataMaxTopics);
    FUZZ_EXPECT(filter.item_count >= 0 && filter.item_count <= kMetadataMaxItems);
    for (int i = 0; i < filter.topic_count; ++i) {
      FUZZ_EXPECT(fuzz_terminated(filter.topics[i]->topic, kTopicFieldSize));
      FUZZ_EXPECT(fuzz_terminated(filter.topics[i]->value, kTopicFieldSize));
    }
    for (int i = 0; i < filter.item_count; ++i) FUZZ_EXPECT(fuzz_terminated(filter.items[i], kMetadataItemSize));
    FUZZ_EXPECT(fuzz_terminated(request->profile, kProfileFieldSize));
  } else {
    FUZZ_EXPECT(filter.topics == nullptr && filter.items == nullptr);
  }
  IPC_iFreeMetadataFilter(&filter);

  event_record* record = nullptr;
  if (IPC_iMakeEventStructFromNotify(msg, size, &record) == 0) {
    FUZZ_EXPECT(record != nullptr);
    FUZZ_EXPECT(record->source_count >= 0 && record->source_count <= kEventMaxSources);
    FUZZ_EXPECT(record->key_count >= 0 && record->key_count <= kEventMaxKeys);
    FUZZ_EXPECT(record->data_count >= 0 && record->data_count <= kEventMaxData);
    FUZZ_EXPECT(fuzz_terminated(record->topic, kEventTopicSize));
    event_item** lists[] = {record->sources, record->keys, record->data};
    const int counts[] = {record->source_count, record->key_count, record->data_count};
    for (int k = 0; k < 3; ++k) {
      for (int i = 0; i < counts[k]; ++i) {
        FUZZ_EXPECT(fuzz_terminated(lists[k][i]->name, kEventNameSize));
        FUZZ_EXPECT(fuzz_terminated(lists[k][i]->value, kEventValueSize));
      }
    }
    IPC_vFreeEventStruct(&record);
  } else {
    FUZZ_EXPECT(record == nullptr);
  }

  ipc_header header;
  auto info = std::make_unique<unsigned char[]>(kConnectInfoSize);
  uint32_t a = 0;
  uint32_t b = 0;
  auto long_text = std::make_unique<char[]>(kSubscriptionTextSize);
  auto text = std::make_unique<char[]>(kShortTextSize);
  auto name = std::make_unique<char[]>(kShortTextSize);
  auto ptz = std::make_unique<ptz_record>();
  const int results[] = {
      IPC_iGetHeader(msg, size, &header),
      IPC_iGetConnectInfo(msg, size, &header, info.get()),
      IPC_iGetTimeChange(msg, size, &a, &b),
      IPC_iGetSubscriptionControl(msg, size, &a, long_text.get()),
      IPC_iGetMediaSynchronization(msg, size, text.get()),
      IPC_iGetPTZNotify(msg, size, ptz.get(), name.get()),
      IPC_iGetAuthorizer(msg, size, name.get(), text.get()),
  };
  for (const int r : results) FUZZ_EXPECT(r == 0 || r == kIpcInvalid);
  if (results[3] == 0) FUZZ_EXPECT(fuzz_terminated(long_text.get(), kSubscriptionTextSize));
  if (results[5] == 0) FUZZ_EXPECT(fuzz_terminated(name.get(), kShortTextSize));
  if (results[6] == 0) {
    FUZZ_EXPECT(fuzz_terminated(name.get(), kShortTextSize));
    FUZZ_EXPECT(fuzz_terminated(text.get(), kShortTextSize));
  }
}
