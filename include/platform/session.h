// Session-service library: the client side of the session daemon and of the
// device's other local services, and the receiver of passed descriptors.
#pragma once

#include <cstddef>
#include <cstdint>

// Registration record handed to s_udp_add_session, native byte order.
struct session_info {
  int32_t session_id; // filled in by the library on success
  int32_t channel;
  char codec[32];     // "jpeg", "mpeg4", "h264" or "ulaw", zero-padded
  char host[46];
  uint8_t padding[2];
  uint32_t dstport;
  float framerate;
  uint32_t bitrate;   // kbit/s
};
static_assert(sizeof(session_info) == 100);
static_assert(offsetof(session_info, session_id) == 0);
static_assert(offsetof(session_info, channel) == 4);
static_assert(offsetof(session_info, codec) == 8);
static_assert(offsetof(session_info, host) == 40);
static_assert(offsetof(session_info, dstport) == 88);
static_assert(offsetof(session_info, framerate) == 92);
static_assert(offsetof(session_info, bitrate) == 96);

// The session daemon's socket and the event manager's.
inline constexpr char kSessionServicePath[] = "/tmp/session";
inline constexpr char kEvmanPath[] = "/tmp/localrec";
// Query code of the session frame-rate request.
inline constexpr uint32_t kSessionFrameRateQuery = 39;

// 0 on success (info->session_id then holds the new id); anything else fails.
int s_udp_add_session(session_info* info);
int s_update_session(int session_id, unsigned bitrate_kbps);
// Async-signal-safe: uses only socket system calls and stack buffers, so the
// daemon may call it from its signal handler.
int s_remove_session(int session_id);
// Connect to the local socket at path, where another process offers a
// connected stream socket, and receive it (bounded wait). Descriptor or -1.
int s_recv_sock(const char* path);
int s_create_client_socket();
int s_connect_serv(int fd, const char* path);
// 0 or more when all len bytes were written / exactly len bytes were read.
int s_write_data(int fd, const void* buf, int len);
int s_read_data(int fd, void* buf, int len);
