// The ONVIF metadata data source (payload 107): subscribes to the event
// service's metadata and hands each delivery to the stream thread as one unit.
#pragma once

#include "event/ipc_defs.h"

struct rtp_thread;

// Installs the four callbacks below and turns RFC 2435 headers off. 0.
int vx_metadata_thread_init(rtp_thread* thread);

int vx_metadata_init_rtp_header(rtp_thread* thread);
// Start request (retried for about 20 s), then the listening endpoint. 0 or -1.
int vx_metadata_open_data_src(rtp_thread* thread);
// Stop request, endpoint closed. Always 0.
int vx_metadata_close_data_src(rtp_thread* thread);
// One delivery's payload: its length (> 0), 0 when nothing is to be sent
// this time (nothing within 5 s, a dropped delivery), -1 on an IPC error.
int vx_metadata_get_data(rtp_thread* thread, unsigned char* buff, int size);

// Tests only: the listening endpoint that get_data receives on, as open
// leaves it, so that deliveries can be fed without an event service.
void vx_metadata_use_endpoint_for_tests(ipc_handle handle);
