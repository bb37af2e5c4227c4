// Registration of this process's stream with the session daemon, its
// bit-rate reports and its removal.
#pragma once

#include "platform/session.h"

struct rtp_thread;

// Registers the stream; 0 (session_id then holds the new id) or -1.
int add_session(rtp_thread* thread);
// Reports thread->bitrate (kbit/s) for thread->session_id; the result is
// the library's and callers may ignore it.
int update_session(rtp_thread* thread);
// session_id must be 0 or more. Async-signal-safe.
int remove_session(int session_id);

// The registration record add_session sends: false for a payload that has
// no codec name.
bool make_session_info(const rtp_thread* thread, session_info* info);
