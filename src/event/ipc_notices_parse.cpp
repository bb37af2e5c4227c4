// The receiving side of the fixed-size notices.
#include <cstring>

#include "event/ipc_defs.h"
#include "event/ipc_log.h"
#include "event/ipc_notices.h"

namespace {

// The message is `expected` bytes long by its header and by what was
// received, and of the wanted type (any type when `type` is null).
bool has_shape(const unsigned char* msg, size_t size, const uint32_t* type, uint32_t expected,
               const char* func) {
  if (msg == nullptr || size < kIpcHeaderSize) {
    IPC_LOG_AS(func, "[%d]\n", static_cast<int>(size));
    return false;
  }
  const ipc_header h = ipc_read_header(msg);
  if (h.length != expected || h.length > size || (type != nullptr && h.type != *type)) {
    IPC_LOG_AS(func, "[%u][%u]\n", h.type, h.length);
    return false;
  }
  return true;
}

// A text field that must hold its terminator within the field.
bool read_text(const unsigned char* field, size_t field_size, char* out) {
  const void* end = std::memchr(field, '\0', field_size);
  if (end == nullptr) {
    return false;
  }
  std::memcpy(out, field, field_size);
  return true;
}

} // namespace

int IPC_iGetHeader(const unsigned char* msg, size_t size, ipc_header* header) {
  if (header == nullptr || !has_shape(msg, size, nullptr, kNoParamMessageSize, __func__)) {
    return kIpcInvalid;
  }
  *header = ipc_read_header(msg);
  return 0;
}

int IPC_iGetConnectInfo(const unsigned char* msg, size_t size, ipc_header* header, unsigned char* info) {
  if (header == nullptr || info == nullptr || !has_shape(msg, size, nullptr, kConnectInfoMessageSize, __func__)) {
    return kIpcInvalid;
  }
  *header = ipc_read_header(msg);
  std::memcpy(info, msg + kConnectInfoOff, kConnectInfoSize);
  return 0;
}

int IPC_iGetTimeChange(const unsigned char* msg, size_t size, uint32_t* value_a, uint32_t* value_b) {
  if (value_a == nullptr || value_b == nullptr ||
      !has_shape(msg, size, &kIpcTypeTimeChange, kTimeChangeMessageSize, __func__)) {
    return kIpcInvalid;
  }
  *value_a = ipc_get_le32(msg, kTimeChangeOffA);
  *value_b = ipc_get_le32(msg, kTimeChangeOffB);
  return 0;
}

int IPC_iGetSubscriptionControl(const unsigned char* msg, size_t size, uint32_t* value, char* text) {
  if (value == nullptr || text == nullptr ||
      !has_shape(msg, size, &kIpcTypeSubscriptionControl, kSubscriptionMessageSize, __func__) ||
      !read_text(msg + kSubscriptionOffText, kSubscriptionTextSize, text)) {
    return kIpcInvalid;
  }
  *value = ipc_get_le32(msg, kSubscriptionOffValue);
  return 0;
}

int IPC_iGetMediaSynchronization(const unsigned char* msg, size_t size, char* text) {
  if (text == nullptr || !has_shape(msg, size, &kIpcTypeMediaSync, kMediaSyncMessageSize, __func__) ||
      !read_text(msg + kMediaSyncOffText, kShortTextSize, text)) {
    return kIpcInvalid;
  }
  return 0;
}

int IPC_iGetPTZNotify(const unsigned char* msg, size_t size, ptz_record* record, char* token) {
  if (record == nullptr || token == nullptr ||
      !has_shape(msg, size, &kIpcTypePtzNotify, kPtzMessageSize, __func__) ||
      !read_text(msg + kPtzOffToken, kShortTextSize, token)) {
    return kIpcInvalid;
  }
  std::memcpy(record->bytes, msg + kPtzOffRecord, sizeof record->bytes);
  return 0;
}

int IPC_iGetAuthorizer(const unsigned char* msg, size_t size, char* name, char* text) {
  if (name == nullptr || text == nullptr ||
      !has_shape(msg, size, &kIpcTypeAuthorizer, kAuthorizerMessageSize, __func__) ||
      !read_text(msg + kAuthorizerOffName, kShortTextSize, name) ||
      !read_text(msg + kAuthorizerOffText, kShortTextSize, text)) {
    return kIpcInvalid;
  }
  return 0;
}
