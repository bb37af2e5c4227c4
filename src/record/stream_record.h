// The stream record that the engine and the data sources share: parameters
// of the one stream this process serves, its RTP and JPEG header state, and
// the four data-source callbacks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "net/network.h"

// Payload numbers: RTP payload types on the wire and the data-source choice.
inline constexpr int kPayloadJpeg = 26;
inline constexpr int kPayloadH264 = 96;
inline constexpr int kPayloadMpeg4 = 120;
inline constexpr int kPayloadUlaw = 0;
inline constexpr int kPayloadMetadata = 107;

// H.264 fragmentation state that carries over from the first packet of a NAL
// unit to its continuation packets.
struct h264_fu_state {
  uint8_t nri = 0;  // N & 0x60 of the last NAL header seen at a unit start
  uint8_t type = 0; // N & 0x1F
};

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
  // Set by the H.264 source when the next unit is known to be a further slice
  // of the same picture: the marker then waits for the picture's last one.
  bool unit_continues_picture = false;
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
  uint16_t jpeg_restart_interval = 0; // types 64-127: the restart marker header's interval
  uint8_t jpeg_qt_mbz = 0;
  uint8_t jpeg_qt_precision = 0;
  uint16_t jpeg_qt_length = 0;
  uint8_t jpeg_qt_data[kJpegQtDataSize] = {};

  bool enable_sdplay = false;

  // H.264 fragmentation state of the last NAL unit started: its FU-A
  // continuation packets repeat it, in this unit or the next.
  h264_fu_state h264_fu;

  data_src_fn init_rtp_header = nullptr;
  data_src_fn open_data_src = nullptr;
  data_src_fn close_data_src = nullptr;
  get_data_fn get_data = nullptr;

  // The session daemon hook the stream thread reports its bit rate through;
  // none: nothing is reported.
  data_src_fn update_session = nullptr;
};

uint32_t make_ssrc(rtp_thread* thread, uint32_t seed);
