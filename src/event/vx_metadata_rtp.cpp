// Placeholder until the metadata source lands: refuses to start.
#include "event/vx_metadata_rtp.h"
int vx_metadata_thread_init(rtp_thread*) { return -1; }
