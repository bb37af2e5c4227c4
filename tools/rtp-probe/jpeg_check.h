// JPEG payload rules. Two forms exist: with the RFC 2435 headers (8-byte
// main header, optional restart and quantisation-table headers, contiguous
// fragment offsets) and, without them, the whole JPEG file cut into packets.
#pragma once

#include <array>
#include <cstdint>

#include "findings.h"
#include "toolkit/rtp.h"

namespace probe {

struct JpegCounts {
  uint64_t pictures = 0;
  bool rfc2435 = false; // form of the last picture
  uint8_t type = 0;
  uint8_t q = 0;
  unsigned width = 0;  // pixels; 0 when the header carries 0 (above 2040)
  unsigned height = 0;
};

class JpegChecker {
 public:
  explicit JpegChecker(Findings& findings) : findings_(findings) {}

  // `frame_start`: the timestamp changed (a new picture); `resync`: the
  // packet before was lost, so the picture may be seen from its middle.
  void on_packet(const RtpPacket& p, bool frame_start, bool resync);

  const JpegCounts& counts() const { return counts_; }

 private:
  enum class Form { unknown, rfc2435, whole_file };

  void rfc2435(const RtpPacket& p, bool frame_start, bool resync);
  void restart_header(const RtpPacket& p, Bytes b, bool frame_start);
  void restart_markers(const RtpPacket& p, Bytes data, bool frame_start);

  Findings& findings_;
  JpegCounts counts_;
  Form form_ = Form::unknown;
  bool in_picture_ = false; // offsets of the current picture are being followed
  uint32_t next_offset_ = 0;
  uint8_t type_ = 0, q_ = 0, width_ = 0, height_ = 0;
  std::array<bool, 256> tables_seen_{}; // per Q >= 128: a table was received
  uint16_t restart_interval_ = 0;       // of the current picture (types 64-127)
  bool after_ff_ = false;               // the picture's scan data so far ends in 0xFF
  bool told_markers_ = false;           // restart markers without a header, told for this picture
};

} // namespace probe
