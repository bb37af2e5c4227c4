// Zero-filled allocation and free-and-clear for the event IPC library.
#pragma once

#include <cstddef>

void* IPC_pMalloc(size_t size);
// Frees *p and sets it to null; a null p or *p is logged and ignored.
void IPC_vFree(void** p);

template <typename T>
void IPC_vFreeAs(T** p) {
  void* raw = *p;
  IPC_vFree(&raw);
  *p = static_cast<T*>(raw);
}
