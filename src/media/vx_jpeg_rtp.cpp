// Placeholder until the jpeg source lands: refuses to start.
#include "media/sources.h"
int vx_jpeg_thread_init(rtp_thread*) { return -1; }
