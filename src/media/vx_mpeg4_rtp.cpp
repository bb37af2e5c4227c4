// Placeholder until the mpeg4 source lands: refuses to start.
#include "media/sources.h"
int vx_mpeg4_thread_init(rtp_thread*) { return -1; }
