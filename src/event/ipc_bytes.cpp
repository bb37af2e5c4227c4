#include "event/ipc_bytes.h"

#include "event/ipc_defs.h"

ipc_header ipc_read_header(const unsigned char* msg) {
  ipc_header h;
  h.type = ipc_get_le32(msg, kIpcOffType);
  h.source_id = ipc_get_le32(msg, kIpcOffSource);
  h.dest_id = ipc_get_le32(msg, kIpcOffDest);
  h.param = ipc_get_le32(msg, kIpcOffParam);
  h.length = ipc_get_le32(msg, kIpcOffLength);
  return h;
}

void ipc_write_header(unsigned char* msg, uint32_t type, uint32_t source_id, uint32_t dest_id,
                      uint32_t param) {
  ipc_put_le32(msg, kIpcOffType, type);
  ipc_put_le32(msg, kIpcOffSource, source_id);
  ipc_put_le32(msg, kIpcOffDest, dest_id);
  ipc_put_le32(msg, kIpcOffParam, param);
}
