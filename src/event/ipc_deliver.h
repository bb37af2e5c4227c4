// One message to one endpoint: connect, send, close.
#pragma once

#include <cstdint>

enum class ipc_deliver_step { none, open, send };

// 0 when sent; otherwise the failing result of IPC_iOpen or IPC_iSend, with
// the failing step in *failed (the callers word their own messages).
int ipc_deliver(uint32_t dest_id, unsigned char* msg, uint32_t length, ipc_deliver_step* failed);
