// The event IPC library in one include: channel, address file, validation,
// descriptor passing, the metadata control request and the notices.
#pragma once

#include "event/event_notify.h"
#include "event/ipc_addrfile.h"
#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "event/ipc_check.h"
#include "event/ipc_defs.h"
#include "event/ipc_fdpass.h"
#include "event/ipc_file.h"
#include "event/ipc_log.h"
#include "event/ipc_memory.h"
#include "event/ipc_notices.h"
#include "event/metadata_control.h"
