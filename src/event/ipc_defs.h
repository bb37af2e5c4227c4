// Event IPC channel: endpoint IDs, message types, sizes and result codes
// shared by both sides of the channel.
#pragma once

#include <cstddef>
#include <cstdint>

// A socket held as the 16-bit value the channel's callers store; 0 is "none".
using ipc_handle = uint16_t;

// Result codes (0 is success).
inline constexpr int kIpcInvalid = -1;        // invalid header, descriptor passing, key read
inline constexpr int kIpcBadArgument = -3;    // argument, address file, socket set-up, select
inline constexpr int kIpcCloseNoHandle = -7;  // close given handle 0
inline constexpr int kIpcConnectFailed = -8;  // connect or send failure
inline constexpr int kIpcReceiveFailed = -9;  // accept/recv failure, early close, surplus bytes
inline constexpr int kIpcBadLength = -11;     // length 0 or above the caller's capacity
inline constexpr int kIpcNothingPending = -12; // time-out, or no connection waiting
inline constexpr int kIpcHandOverTimeout = -13; // descriptor hand-over timed out

// "ErrID" values printed in messages.
inline constexpr int kIpcErrIdArgument = -3;
inline constexpr int kIpcErrIdMemory = -11;

// Endpoint IDs.
inline constexpr uint32_t kIpcEventServiceId = 512;
inline constexpr uint32_t kIpcMetadataBaseId = 768;
inline constexpr uint32_t kIpcAnySource = 0xFFFFFFFFu;

// Message header: five little-endian words.
inline constexpr size_t kIpcHeaderSize = 20;
inline constexpr size_t kIpcOffType = 0;
inline constexpr size_t kIpcOffSource = 4;
inline constexpr size_t kIpcOffDest = 8;
inline constexpr size_t kIpcOffParam = 12;
inline constexpr size_t kIpcOffLength = 16;

// The largest message sent or accepted, and the listening receive buffer.
inline constexpr size_t kIpcMaxMessage = 32768;

// Message types with a body defined by this library.
inline constexpr uint32_t kIpcTypeEventNotify = 4;
inline constexpr uint32_t kIpcTypeMediaSync = 7;
inline constexpr uint32_t kIpcTypeMetadataControl = 8;
inline constexpr uint32_t kIpcTypeMetadataDelivery = 9;
inline constexpr uint32_t kIpcTypeSubscriptionControl = 11;
inline constexpr uint32_t kIpcTypeTimeChange = 12;
inline constexpr uint32_t kIpcTypePtzNotify = 13;
inline constexpr uint32_t kIpcTypeTcpDisconnection = 14;
inline constexpr uint32_t kIpcTypeAuthorizer = 15;

// Metadata delivery (type 9): payload length word, then the payload.
inline constexpr size_t kIpcDeliveryOffLength = 20;
inline constexpr size_t kIpcDeliveryOffPayload = 24;
inline constexpr size_t kIpcDeliveryMaxPayload = kIpcMaxMessage - kIpcDeliveryOffPayload;

// The event service's sockets, closed by IPC_iEnd.
struct ipc_service_sockets {
  ipc_handle handle[4];
};
