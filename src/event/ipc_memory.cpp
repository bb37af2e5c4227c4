#include "event/ipc_memory.h"

#include <cerrno>
#include <cstdlib>

#include "event/ipc_defs.h"
#include "event/ipc_log.h"

void* IPC_pMalloc(size_t size) {
  void* p = std::calloc(1, size == 0 ? 1 : size);
  if (p == nullptr) {
    IPC_LOG("Memory Empty [ErrID=%d][errno=%d]\n", kIpcErrIdMemory, errno);
  }
  return p;
}

void IPC_vFree(void** p) {
  if (p == nullptr || *p == nullptr) {
    IPC_LOG("Argument is invalid [ErrID=%d]\n", kIpcErrIdMemory);
    return;
  }
  std::free(*p);
  *p = nullptr;
}
