// The event notice (message type 4) and its record.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kEventNameSize = 65;
inline constexpr size_t kEventValueSize = 256;
inline constexpr size_t kEventTopicSize = 65;
inline constexpr size_t kEventTopicMaxChars = 64;
inline constexpr int kEventMaxSources = 4;
inline constexpr int kEventMaxKeys = 2;
inline constexpr int kEventMaxData = 4;
// The line buffer: a line of 336 characters is the longest that is sent.
inline constexpr size_t kEventLineBufferSize = 337;

inline constexpr size_t kEventOffField1 = 20;
inline constexpr size_t kEventOffField2 = 24;
inline constexpr size_t kEventOffField3 = 28;
inline constexpr size_t kEventOffTopic = 32;
inline constexpr size_t kEventOffTextLength = 97;
inline constexpr size_t kEventOffText = 101;

struct event_item {
  char name[kEventNameSize];
  char value[kEventValueSize];
};
static_assert(sizeof(event_item) == 321);

struct event_record {
  uint32_t field1;
  uint32_t reserved1; // not sent
  uint32_t field2;
  uint32_t field3;
  char topic[kEventTopicSize];
  int32_t source_count;
  event_item** sources;
  int32_t key_count;
  event_item** keys;
  int32_t data_count;
  event_item** data;
  uint32_t reserved2; // not used by the builders
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(event_record) == 112);
static_assert(offsetof(event_record, topic) == 16);
static_assert(offsetof(event_record, source_count) == 84);
#endif

// Sends the 32768-byte notice. 0, or -1 on any failure (nothing sent when
// the text cannot be built).
int IPC_iEventNotify(event_record record, uint32_t source_id, uint32_t dest_id);

// Allocates a zero-filled record with item arrays of the given sizes
// (0..4 sources, 0..2 keys, 0..4 data items). 0 or -1.
int IPC_iMakeEventStruct(event_record** record, int source_count, int key_count, int data_count);
// Reads a received type-4 message of `size` bytes back into a new record.
// -1 for a message that is not a well-formed notice; nothing is then allocated.
int IPC_iMakeEventStructFromNotify(const unsigned char* msg, size_t size, event_record** record);
void IPC_vFreeEventStruct(event_record** record);
