// The byte stream between the session-service library and the session
// daemon on "/tmp/session". Everything is native byte order (both ends run
// on the same machine).
//
// Request:  u32 length (bytes after this field, code included)
//           u32 code
//           length - 4 bytes of body
// Reply:    u32 length, then that many bytes.
//
//   code  body                                 reply body
//   1     session_info (100 bytes)             i32 status (0 = added), i32 session id
//   2     i32 session id, u32 bit rate kbit/s  i32 status
//   3     i32 session id                       i32 status
//   39    none                                 decimal text of the frame rate
//
// The library opens one connection per request; the daemon also accepts
// several requests on one connection, answered in order.
#pragma once

#include <cstdint>

#include "platform/session.h"

inline constexpr uint32_t kSessionAdd = 1;
inline constexpr uint32_t kSessionUpdate = 2;
inline constexpr uint32_t kSessionRemove = 3;
// kSessionFrameRateQuery (39) is declared with the library.

inline constexpr uint32_t kSessionAddBodySize = sizeof(session_info);
inline constexpr uint32_t kSessionUpdateBodySize = 8;
inline constexpr uint32_t kSessionRemoveBodySize = 4;
// No request body is larger than the registration record.
inline constexpr uint32_t kSessionMaxRequestLength = 4 + kSessionAddBodySize;
// Where the library finds the session daemon: kSessionServicePath unless a
// test points it elsewhere before any request.
extern const char* g_session_service_path;

// Replies are small; the frame-rate text is a handful of digits.
inline constexpr uint32_t kSessionMaxReplyLength = 64;
