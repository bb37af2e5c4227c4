#include "event/ipc_deliver.h"

#include "event/ipc_bytes.h"
#include "event/ipc_channel.h"
#include "event/ipc_check.h"
#include "event/ipc_log.h"

int ipc_deliver(uint32_t dest_id, unsigned char* msg, uint32_t length, ipc_deliver_step* failed) {
  *failed = ipc_deliver_step::none;
  // A header that the receiver would refuse is refused before connecting, so
  // that the peer does not even see an empty connection.
  if (length >= kIpcHeaderSize && IPC_iCheckID(msg) != 0) {
    IPC_LOG_AS("IPC_iSend", "ID is invalid\n");
    *failed = ipc_deliver_step::send;
    return kIpcInvalid;
  }
  ipc_handle handle = 0;
  int result = IPC_iOpen(dest_id, kIpcModeConnect, &handle);
  if (result != 0) {
    *failed = ipc_deliver_step::open;
    return result;
  }
  result = IPC_iSend(handle, msg, length);
  IPC_iClose(handle);
  if (result != 0) {
    *failed = ipc_deliver_step::send;
  }
  return result;
}
