// Builders of the fixed-size notices.
#include "event/ipc_notices.h"

#include <cstring>

#include "event/ipc_defs.h"
#include "event/ipc_deliver.h"
#include "event/ipc_log.h"
#include "event/ipc_memory.h"

namespace {

// Sends and reports a failure in the "[%d]" shape most builders use.
int send_logged(const char* func, uint32_t dest_id, unsigned char* msg, uint32_t size) {
  ipc_deliver_step failed = ipc_deliver_step::none;
  const int result = ipc_deliver(dest_id, msg, size, &failed);
  if (result != 0) {
    IPC_LOG_AS(func, "[%d]\n", result);
  }
  return result;
}

// A message from IPC_pMalloc, released on every path.
class heap_message {
 public:
  explicit heap_message(size_t size) : bytes_(static_cast<unsigned char*>(IPC_pMalloc(size))) {}
  ~heap_message() {
    if (bytes_ != nullptr) {
      IPC_vFreeAs(&bytes_);
    }
  }
  heap_message(const heap_message&) = delete;
  heap_message& operator=(const heap_message&) = delete;
  unsigned char* get() const { return bytes_; }

 private:
  unsigned char* bytes_;
};

void copy_text(unsigned char* field, const char* text, size_t max_chars) {
  if (text != nullptr) {
    std::memcpy(field, text, ::strnlen(text, max_chars));
  }
}

// The two notices that word their failures as "ipc open/send failure".
int send_worded(const char* func, uint32_t dest_id, unsigned char* msg, uint32_t size) {
  ipc_deliver_step failed = ipc_deliver_step::none;
  const int result = ipc_deliver(dest_id, msg, size, &failed);
  if (failed == ipc_deliver_step::open) {
    IPC_LOG_AS(func, "ipc open failure [%d]\n", result);
  } else if (failed == ipc_deliver_step::send) {
    IPC_LOG_AS(func, "ipc send failure [%d]\n", result);
  }
  return result;
}

} // namespace

int IPC_iConnectInfoNotify(uint32_t type, uint32_t source_id, uint32_t dest_id, const void* info) {
  if (info == nullptr) {
    IPC_LOG("argument error\n");
    return kIpcBadArgument;
  }
  const heap_message msg(kConnectInfoMessageSize);
  if (msg.get() == nullptr) {
    IPC_LOG("memory empty\n");
    return kIpcBadLength;
  }
  std::memcpy(msg.get() + kConnectInfoOff, info, kConnectInfoSize);
  ipc_write_header(msg.get(), type, source_id, dest_id);
  return send_worded(__func__, dest_id, msg.get(), kConnectInfoMessageSize);
}

int IPC_iTimeChangeNotify(uint32_t source_id, uint32_t dest_id, uint32_t value_a, uint32_t value_b) {
  const heap_message msg(kTimeChangeMessageSize);
  if (msg.get() == nullptr) {
    IPC_LOG("[%d]\n", kIpcBadLength);
    return kIpcBadLength;
  }
  ipc_put_le32(msg.get(), kTimeChangeOffA, value_a);
  ipc_put_le32(msg.get(), kTimeChangeOffB, value_b);
  ipc_write_header(msg.get(), kIpcTypeTimeChange, source_id, dest_id);
  return send_logged(__func__, dest_id, msg.get(), kTimeChangeMessageSize);
}

int IPC_iSubscriptionControl(uint32_t source_id, uint32_t dest_id, uint32_t value, const char* text) {
  const heap_message msg(kSubscriptionMessageSize);
  if (msg.get() == nullptr) {
    IPC_LOG("[%d]\n", kIpcBadLength);
    return kIpcBadLength;
  }
  copy_text(msg.get() + kSubscriptionOffText, text, kSubscriptionTextSize - 1);
  ipc_put_le32(msg.get(), kSubscriptionOffValue, value);
  ipc_write_header(msg.get(), kIpcTypeSubscriptionControl, source_id, dest_id);
  return send_logged(__func__, dest_id, msg.get(), kSubscriptionMessageSize);
}

int IPC_iMediaSynchronization(uint32_t source_id, uint32_t dest_id, const char* text) {
  if (text == nullptr) {
    IPC_LOG("[%d]\n", kIpcBadArgument);
    return kIpcBadArgument;
  }
  unsigned char msg[kMediaSyncMessageSize] = {};
  copy_text(msg + kMediaSyncOffText, text, kShortTextSize - 1);
  ipc_write_header(msg, kIpcTypeMediaSync, source_id, dest_id);
  return send_logged(__func__, dest_id, msg, kMediaSyncMessageSize);
}

int IPC_iPTZNotify(ptz_record record, const char* token, uint32_t source_id, uint32_t dest_id) {
  unsigned char msg[kPtzMessageSize] = {};
  std::memcpy(msg + kPtzOffRecord, record.bytes, sizeof record.bytes);
  copy_text(msg + kPtzOffToken, token, kShortTextSize - 1);
  ipc_write_header(msg, kIpcTypePtzNotify, source_id, dest_id);
  return send_logged(__func__, dest_id, msg, kPtzMessageSize);
}

int IPC_iNoParamNotify(uint32_t type, uint32_t source_id, uint32_t dest_id, uint32_t param) {
  const heap_message msg(kNoParamMessageSize);
  if (msg.get() == nullptr) {
    IPC_LOG("[%d]\n", kIpcBadLength);
    return kIpcBadLength;
  }
  ipc_write_header(msg.get(), type, source_id, dest_id, param);
  return send_worded(__func__, dest_id, msg.get(), kNoParamMessageSize);
}

int IPC_iTCPDisconnectionNotify(uint32_t source_id, uint32_t dest_id, uint32_t param) {
  const heap_message msg(kNoParamMessageSize);
  if (msg.get() == nullptr) {
    IPC_LOG("[%d]\n", kIpcBadLength);
    return kIpcBadLength;
  }
  ipc_write_header(msg.get(), kIpcTypeTcpDisconnection, source_id, dest_id, param);
  return send_logged(__func__, dest_id, msg.get(), kNoParamMessageSize);
}

int IPC_iAuthorizerNotify(uint32_t source_id, uint32_t dest_id, const char* name, const char* text) {
  if (name == nullptr || ::strnlen(name, kShortTextSize) >= kShortTextSize) {
    IPC_LOG("[%d]\n", kIpcBadArgument);
    return kIpcBadArgument;
  }
  const heap_message msg(kAuthorizerMessageSize);
  if (msg.get() == nullptr) {
    IPC_LOG("[%d]\n", kIpcBadLength);
    return kIpcBadLength;
  }
  copy_text(msg.get() + kAuthorizerOffName, name, kShortTextSize - 1);
  copy_text(msg.get() + kAuthorizerOffText, text, kShortTextSize - 1);
  ipc_write_header(msg.get(), kIpcTypeAuthorizer, source_id, dest_id, source_id);
  return send_logged(__func__, dest_id, msg.get(), kAuthorizerMessageSize);
}
