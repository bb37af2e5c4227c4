// The channel's other notices: fixed-size messages with fixed bodies, and
// their receiving side.
#pragma once

#include <cstddef>
#include <cstdint>

#include "event/ipc_bytes.h"

inline constexpr size_t kConnectInfoSize = 68;
inline constexpr size_t kPtzRecordSize = 832;
inline constexpr size_t kShortTextSize = 65;        // at most 64 characters
inline constexpr size_t kSubscriptionTextSize = 256; // at most 255 characters

// Whole message sizes, header included.
inline constexpr uint32_t kConnectInfoMessageSize = 88;
inline constexpr uint32_t kTimeChangeMessageSize = 28;
inline constexpr uint32_t kSubscriptionMessageSize = 280;
inline constexpr uint32_t kMediaSyncMessageSize = 85;
inline constexpr uint32_t kPtzMessageSize = 917;
inline constexpr uint32_t kNoParamMessageSize = 20;
inline constexpr uint32_t kAuthorizerMessageSize = 150;

// Body offsets.
inline constexpr size_t kConnectInfoOff = 20;
inline constexpr size_t kTimeChangeOffA = 20;
inline constexpr size_t kTimeChangeOffB = 24;
inline constexpr size_t kSubscriptionOffText = 20;
inline constexpr size_t kSubscriptionOffValue = 276;
inline constexpr size_t kMediaSyncOffText = 20;
inline constexpr size_t kPtzOffRecord = 20;
inline constexpr size_t kPtzOffToken = 852;
inline constexpr size_t kAuthorizerOffName = 20;
inline constexpr size_t kAuthorizerOffText = 85;

struct ptz_record {
  unsigned char bytes[kPtzRecordSize]; // defined by the services exchanging it
};
static_assert(sizeof(ptz_record) == 832);

// Builders: 0 when sent, a negative value on failure (nothing sent).
int IPC_iConnectInfoNotify(uint32_t type, uint32_t source_id, uint32_t dest_id, const void* info);
int IPC_iTimeChangeNotify(uint32_t source_id, uint32_t dest_id, uint32_t value_a, uint32_t value_b);
int IPC_iSubscriptionControl(uint32_t source_id, uint32_t dest_id, uint32_t value, const char* text);
int IPC_iMediaSynchronization(uint32_t source_id, uint32_t dest_id, const char* text);
int IPC_iPTZNotify(ptz_record record, const char* token, uint32_t source_id, uint32_t dest_id);
int IPC_iNoParamNotify(uint32_t type, uint32_t source_id, uint32_t dest_id, uint32_t param);
int IPC_iTCPDisconnectionNotify(uint32_t source_id, uint32_t dest_id, uint32_t param);
int IPC_iAuthorizerNotify(uint32_t source_id, uint32_t dest_id, const char* name, const char* text);

// Receiving side: each takes a received message of `size` bytes and returns
// 0, or -1 when it is not a well-formed message of that kind (wrong type or
// length, a text field without its terminator). Text outputs have the
// field's size (kShortTextSize or kSubscriptionTextSize).
int IPC_iGetHeader(const unsigned char* msg, size_t size, ipc_header* header);
int IPC_iGetConnectInfo(const unsigned char* msg, size_t size, ipc_header* header, unsigned char* info);
int IPC_iGetTimeChange(const unsigned char* msg, size_t size, uint32_t* value_a, uint32_t* value_b);
int IPC_iGetSubscriptionControl(const unsigned char* msg, size_t size, uint32_t* value, char* text);
int IPC_iGetMediaSynchronization(const unsigned char* msg, size_t size, char* text);
int IPC_iGetPTZNotify(const unsigned char* msg, size_t size, ptz_record* record, char* token);
int IPC_iGetAuthorizer(const unsigned char* msg, size_t size, char* name, char* text);
