// Which endpoint classes may send which message type to whom.
#pragma once

#include <cstdint>

// 0 when type, source and destination of the header at msg agree with the
// table; -1 (logged with the offending value) when not; -3 for a null message.
int IPC_iCheckID(const void* msg);
// The same rule on plain values, without logging.
int ipc_check_ids(uint32_t type, uint32_t source_id, uint32_t dest_id, uint32_t* offending);

// The IDs an endpoint may be opened with.
bool ipc_open_id_allowed(uint32_t id);
