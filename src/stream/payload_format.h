// Payload formats: how much of a unit the next packet carries and which
// payload header goes in front of it. Each cut is a pure function of the
// unit's remaining bytes, the stream's packet format and the format's state;
// the RTP header and the socket are not its business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "record/stream_record.h"

// What the packetiser of a stream needs to know about it.
struct packet_format {
  int room = 0;              // bytes after the RTP header: payload header and payload
  int payload = 0;           // payload number: H.264 and RFC 2435 JPEG have payload headers
  bool disable_stap = false; // H.264: SEI, SPS and PPS as single NAL unit packets
  bool rfc2435 = false;      // JPEG: RFC 2435 headers
};

// What one packet takes from the remaining bytes of a unit.
struct payload_cut {
  int header_len = 0; // payload header bytes written (after the RTP header)
  int skip = 0;       // unit bytes consumed without being sent (start code, NAL header)
  int take = 0;       // unit bytes carried after the skipped ones
  bool last = false;  // the packet carries the unit's last byte
};

// Formats without a payload header (MPEG-4, mu-law, metadata, JPEG files):
// as many bytes as fit.
payload_cut cut_plain(std::span<const uint8_t> rest, int room);

inline constexpr int kH264StartCodeSize = 4;
inline constexpr uint8_t kNalStapA = 24;
inline constexpr uint8_t kNalFuA = 28;

// A NAL unit that fits goes in one packet: SEI, SPS and PPS in a STAP-A (a
// single NAL unit packet with disable_stap), any other as a single NAL unit
// packet; a larger one in FU-A fragments. hdr must hold 3 bytes.
payload_cut cut_h264(std::span<const uint8_t> rest, int room, bool disable_stap, h264_fu_state& state,
                     std::span<uint8_t> hdr);

// RFC 2435 header fields of the current picture.
struct jpeg_fields {
  uint8_t type_specific = 0;
  uint8_t type = 0;
  uint8_t q = 0;
  uint8_t width = 0;  // pixels / 8
  uint8_t height = 0; // pixels / 8
  uint16_t restart_interval = 0; // of the restart marker header (types 64..127)
  uint8_t qt_mbz = 0;
  uint8_t qt_precision = 0;
  std::span<const uint8_t> qt; // quantisation tables (qt_length bytes)
};

inline constexpr int kJpegMainHeaderSize = 8;
inline constexpr int kJpegRestartHeaderSize = 4;
inline constexpr uint8_t kJpegRestartTypes = 64; // types 64-127 carry the restart marker header
inline constexpr int kJpegQtHeaderSize = 4;
inline constexpr uint8_t kJpegFirstQtQ = 128; // Q from here on carries its tables in-band

// Main header in every packet, with `offset` (the packet's place in the
// scan data) in its fragment offset field; for types 64-127 the restart
// marker header follows it in every packet; with Q >= 128 the
// quantisation-table header follows it in the packet at offset 0 only. take
// is 0 when the headers leave no room for scan data.
payload_cut cut_jpeg(std::span<const uint8_t> rest, int room, size_t offset, const jpeg_fields& fields,
                     std::span<uint8_t> hdr);

// The cut of the stream's format; offset is where rest starts in the unit.
payload_cut cut_payload(const packet_format& format, const jpeg_fields& jpeg, std::span<const uint8_t> rest,
                        size_t offset, h264_fu_state& h264, std::span<uint8_t> hdr);
