// The data source of the stream, chosen by its payload.
#pragma once

struct rtp_thread;

// Installs the source's four callbacks; the source's initialisation result.
int select_data_source(rtp_thread* thread);
