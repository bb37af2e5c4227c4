// Placeholder until the stream thread lands.
#include "stream/rtp_thread.h"
int init_rtp_thread(rtp_thread*) { return -1; }
void* rtp_thread_exe(void*) { return nullptr; }
uint32_t make_ssrc(rtp_thread*, uint32_t) { return 0; }
bool find_nal_unit(const unsigned char*, int, nal_unit*) { return false; }
void refresh_keep_alive() {}
