// The stream record: parameters of the one stream this process serves, its
// RTP and JPEG header state, and the four data-source callbacks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "net/network.h"
#include "stream/payload_format.h"
#include "stream/rtp_header.h"

inline constexpr int kGetDataEnded = -255; // get_data: the source has ended for good
inline constexpr int kJpegQtDataSize = 65536;

struct rtp_thread;
using data_src_fn = int (*)(rtp_thread* thread);
using get_data_fn = int (*)(rtp_thread* thread, unsigned char* buff, int size);

struct rtp_thread {
  pthread_t tid{};
  std::atomic<int> running{0};
  int channel = 0;
  network_setting ns;
  int payload = 0;
  int data_size = 0;
  int payload_type = 0;
  int framerate = 0;
  bool enable_rfc2435 = false;
  bool disable_stap = false;
  bool disable_h264user = false;
  int timeout = 0;
  int session_id = -1;
  uint32_t bitrate = 0;
  int interleaved = 0;

  uint8_t rtp_version = 0;
  uint8_t rtp_padding = 0;
  uint8_t rtp_extension = 0;
  uint8_t rtp_csrc_count = 0;
  uint8_t rtp_marker = 0;
  uint8_t rtp_payload_type = 0;
  uint32_t rtp_seq = 0;
  uint32_t rtp_timestamp = 0;
  uint32_t rtp_ssrc = 0;

  // RFC 2435 JPEG header state (filled by the JPEG source per picture).
  uint8_t jpeg_type_specific = 0;
  uint8_t jpeg_type = 0;
  uint8_t jpeg_q = 0;
  uint8_t jpeg_width = 0;
  uint8_t jpeg_height = 0;
  uint8_t jpeg_qt_mbz = 0;
  uint8_t jpeg_qt_precision = 0;
  uint16_t jpeg_qt_length = 0;
  uint8_t jpeg_qt_data[kJpegQtDataSize] = {};

  bool enable_sdplay = false;

  // The stream thread's packet state between units: the H.264 fragmentation
  // state of the last NAL unit started, and the buffer of one packet's head.
  h264_fu_state h264_fu;
  uint8_t packet[kPacketBufferSize] = {};

  data_src_fn init_rtp_header = nullptr;
  data_src_fn open_data_src = nullptr;
  data_src_fn close_data_src = nullptr;
  get_data_fn get_data = nullptr;
};

int init_rtp_thread(rtp_thread* thread);
void* rtp_thread_exe(void* arg);
uint32_t make_ssrc(rtp_thread* thread, uint32_t seed);

// One NAL unit found by find_nal_unit: start (with its start code), length, type byte.
struct nal_unit {
  const unsigned char* data = nullptr;
  int length = 0;
  int type = 0;
};
// Scan the first min(length, 512) bytes for a 4-byte start code; false when none.
bool find_nal_unit(const unsigned char* buffer, int length, nal_unit* unit);

// Restart the keep-alive clock (async-signal-safe: one atomic store).
void refresh_keep_alive();
