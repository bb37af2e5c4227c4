// The frame-store data sources. Each *_thread_init installs the source's four
// callbacks into the stream record and returns 0.
#pragma once

struct rtp_thread;

int vx_h264_thread_init(rtp_thread* thread);
int vx_jpeg_thread_init(rtp_thread* thread);
int vx_mpeg4_thread_init(rtp_thread* thread);
int vx_ulaw_thread_init(rtp_thread* thread);
