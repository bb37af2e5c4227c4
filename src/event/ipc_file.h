// Files of the event IPC channel: where they live, the locked open that
// every reader and writer of the address file goes through, and key lookup.
#pragma once

#include <cstddef>
#include <cstdio>

inline constexpr char kIpcDefaultDir[] = "/tmp";
inline constexpr char kIpcAddressFileName[] = "onvif_ipc_sockd";
inline constexpr char kIpcScmRightsName[] = "OnvifScmRights";
inline constexpr char kIpcFamilyKey[] = "ADDR_FAMILY";

// Tests only: keep the address file and the descriptor-passing socket under
// another directory so that a running system's files are never touched.
// nullptr restores "/tmp". Call before any other IPC function.
void ipc_set_directory_for_tests(const char* dir);

// "%s/%s" of the channel's directory and name, from IPC_pMalloc (release
// with IPC_vFree); null after an allocation failure (already logged).
char* ipc_make_path(const char* name);

// fopen with `mode`, then an exclusive flock tried every 1 ms for up to 3 s.
// Links are not followed; a stream opened for writing must be a plain file
// of ours with one name, and "w" empties it only once it holds the lock.
FILE* IPC_pfFlockOpen(const char* path, const char* mode);
void IPC_vFlockClose(FILE* stream);

// Copies the text after "<key><separator>" of the first line that starts with
// the key into value (at most value_size - 1 bytes, terminated). 0 also when
// the key is missing (value untouched); -1 on a bad argument or open failure.
int IPC_iGetFileParam(const char* path, const char* key, size_t key_length, char* value,
                      size_t value_size);
