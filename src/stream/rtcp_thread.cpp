// Placeholder until the RTCP thread lands.
#include "stream/rtcp_thread.h"
int init_rtcp_thread(rtcp_thread*, rtp_thread*) { return -1; }
void* rtcp_thread_exe(void*) { return nullptr; }
