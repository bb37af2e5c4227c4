// Event IPC endpoints: one loopback TCP connection per message, found
// through the address file.
//
// Receiving:  IPC_iOpen(id, 0, &h); loop { IPC_iSelect(h, ms); IPC_iReceive(h, ...) }; IPC_iClose(h)
// Sending:    IPC_iOpen(dest, 1, &c); IPC_iSend(c, msg, len); IPC_iClose(c)
#pragma once

#include <cstdint>

#include "event/ipc_defs.h"

inline constexpr int kIpcModeListen = 0;
inline constexpr int kIpcModeConnect = 1;

// Longest a receiver waits for the rest of one message once a peer has
// connected, and a sender for its message to be taken: a peer that never
// sends or never reads cannot hold the caller longer than this.
inline constexpr int kIpcTransferTimeoutMs = 3000;
// Longest a connecting endpoint waits for the connection.
inline constexpr int kIpcConnectTimeoutMs = 3000;

// Mode 0: listen on loopback for `id` and register its port; any other mode:
// connect to the endpoint registered for `id`. The socket goes to *handle.
int IPC_iOpen(uint32_t id, int mode, ipc_handle* handle);
// 0 when a connection waits on the listening handle, -12 on time-out, -3 on error.
int IPC_iSelect(ipc_handle handle, int timeout_ms);
// Takes one waiting connection, reads one message of at most `capacity`
// bytes into buffer and validates its header. *length receives the capacity;
// the message's own length is in its header. -12 when nothing waits.
int IPC_iReceive(ipc_handle handle, void* buffer, uint32_t* length, uint32_t capacity);
// Writes `length` into the header, validates it, sends the whole message.
int IPC_iSend(ipc_handle handle, void* message, uint32_t length);
int IPC_iClose(ipc_handle handle);
