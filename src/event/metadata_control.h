// The metadata control request (message type 8): a metadata stream starts
// or stops, with its profile token and the event topics it wants.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kMetadataMaxTopics = 16;
inline constexpr int kMetadataMaxItems = 1;
inline constexpr size_t kTopicFieldSize = 257;
inline constexpr size_t kProfileFieldSize = 65;
inline constexpr size_t kProfileMaxChars = 64;
// An item as the receiving side stores it.
inline constexpr size_t kMetadataItemSize = 65;
// The line buffer: a line of 272 characters is the longest that is sent.
inline constexpr size_t kMetadataLineBufferSize = 273;

inline constexpr uint32_t kMetadataModeStop = 0;
inline constexpr uint32_t kMetadataModeStart = 1;

// Body offsets; the text length sits at an odd offset, right after the profile.
inline constexpr size_t kMetaOffMode = 20;
inline constexpr size_t kMetaOffSetting1 = 24;
inline constexpr size_t kMetaOffSetting2 = 28;
inline constexpr size_t kMetaOffSetting3 = 32;
inline constexpr size_t kMetaOffProfile = 36;
inline constexpr size_t kMetaOffTextLength = 101;
inline constexpr size_t kMetaOffText = 105;

struct topic_entry {
  char topic[kTopicFieldSize]; // event topic expression
  char value[kTopicFieldSize]; // filter value for the topic
};
static_assert(sizeof(topic_entry) == 514);

struct metadata_request {
  uint32_t index; // added to 768 for the stream's own endpoint ID; not sent
  uint32_t setting1;
  uint32_t setting2;
  uint32_t setting3;
  char profile[kProfileFieldSize];
};

struct metadata_filter {
  topic_entry** topics;
  int32_t topic_count; // at most 16
  char** items;
  int32_t item_count; // at most 1
};

// Builds the 32768-byte request and sends it to dest_id on a fresh
// connection. 0 when sent, -1 on any failure (nothing sent when the text
// cannot be built). Neither request nor filter is changed.
int IPC_iMetadataControl(const metadata_request* request, const metadata_filter* filter,
                         uint32_t mode, uint32_t source_id, uint32_t dest_id);

// Receiving side: reads a type-8 message of `size` bytes back into request
// (settings and profile; index 0) and filter (topics and items allocated,
// release with IPC_iFreeMetadataFilter), and its mode when `mode` is not null.
// -1 for a message that is not a well-formed request; nothing is then allocated.
int IPC_iMakeMetadataFilterStructFromMsg(const unsigned char* msg, size_t size,
                                         metadata_request* request, metadata_filter* filter,
                                         uint32_t* mode);
int IPC_iFreeMetadataFilter(metadata_filter* filter);
