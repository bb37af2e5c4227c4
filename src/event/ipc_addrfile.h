// The address file: "ADDR_FAMILY=%d\n" written by the event service at its
// start, then one "%08x=%d\n" line (endpoint ID, TCP port) per listening
// endpoint.
#pragma once

#include <cstdint>

#include "event/ipc_defs.h"

// Event service start: the address file anew with only the family line.
int IPC_iStartSock(ipc_service_sockets* record, int family);
// Event service end: closes and clears each non-zero handle, removes the file.
int IPC_iEnd(ipc_service_sockets* record);

// The family of the channel from the file at path: 0 or more (0 when the
// line is missing), or kIpcBadArgument when the file cannot be read.
int ipc_read_family(const char* path);
// Removes every line holding the ID's 8-digit form and appends the ID's line,
// both under the file's lock. 0, or kIpcBadArgument when the file cannot be opened.
int ipc_register_endpoint(const char* path, uint32_t id, int port);
// The port of the first line registered for the ID, 0 when there is none.
// 0, or kIpcBadArgument when the file cannot be opened.
int ipc_lookup_port(const char* path, uint32_t id, int* port);
