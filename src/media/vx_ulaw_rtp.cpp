// Placeholder until the ulaw source lands: refuses to start.
#include "media/sources.h"
int vx_ulaw_thread_init(rtp_thread*) { return -1; }
