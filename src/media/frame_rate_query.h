// The session frame rate, asked of the session daemon over "/tmp/session".
#pragma once

#include "platform/session.h"

// What the source assumes when the session daemon cannot tell.
inline constexpr int kDefaultSessionRate = 30;

// One request/reply exchange; kDefaultSessionRate on any failure. `unit`
// names the asking source in messages. Blocks for the exchange.
int query_session_frame_rate(const char* unit, const char* service_path = kSessionServicePath);
