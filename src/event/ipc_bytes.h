// Little-endian words at fixed offsets of a message, written and read byte by
// byte so the format is independent of host order and alignment.
#pragma once

#include <cstddef>
#include <cstdint>

inline void ipc_put_le32(unsigned char* msg, size_t offset, uint32_t value) {
  msg[offset] = static_cast<unsigned char>(value);
  msg[offset + 1] = static_cast<unsigned char>(value >> 8);
  msg[offset + 2] = static_cast<unsigned char>(value >> 16);
  msg[offset + 3] = static_cast<unsigned char>(value >> 24);
}

inline uint32_t ipc_get_le32(const unsigned char* msg, size_t offset) {
  return static_cast<uint32_t>(msg[offset]) | static_cast<uint32_t>(msg[offset + 1]) << 8 |
         static_cast<uint32_t>(msg[offset + 2]) << 16 | static_cast<uint32_t>(msg[offset + 3]) << 24;
}

// Header fields as read from a message of at least 20 bytes.
struct ipc_header {
  uint32_t type = 0;
  uint32_t source_id = 0;
  uint32_t dest_id = 0;
  uint32_t param = 0;
  uint32_t length = 0;
};

ipc_header ipc_read_header(const unsigned char* msg);
// Writes type, source, destination and param; `length` is left to IPC_iSend.
void ipc_write_header(unsigned char* msg, uint32_t type, uint32_t source_id, uint32_t dest_id,
                      uint32_t param = 0);
