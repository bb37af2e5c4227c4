// The ONVIF metadata data source (payload 107).
#pragma once

struct rtp_thread;

int vx_metadata_thread_init(rtp_thread* thread);
