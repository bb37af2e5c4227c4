// Placeholder until the h264 source lands: refuses to start.
#include "media/sources.h"
int vx_h264_thread_init(rtp_thread*) { return -1; }
