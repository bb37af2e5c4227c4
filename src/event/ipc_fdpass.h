// Passing an open descriptor to another process over the Unix-domain stream
// socket "/tmp/OnvifScmRights". Independent of the endpoint channel.
#pragma once

inline constexpr int kIpcUDListen = 0;
inline constexpr int kIpcUDConnect = 1;

// Mode 0: the listening side (the path is replaced); mode 1: the connecting side.
int IPC_iUDOpen(int mode, int* sock);
// Waits up to timeout_ms for the peer to connect and hands `fd` over.
// 0, -13 when no peer connected in time, -1 on other failures.
int IPC_iUDSendFD(int listen_sock, int fd, int timeout_ms);
// Receives a descriptor on the connected socket (about 3 s at most).
// 0, -13 when nothing arrived, -1 on a malformed hand-over.
int IPC_iUDReceiveFD(int sock, int* fd);
// Closes; mode 0 also removes the path.
int IPC_iUDClose(int mode, int sock);
