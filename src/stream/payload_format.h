// Payload formats: how much of a unit the next packet carries and which
// payload header goes in front of it. Each cut is a pure function of the
// unit's remaining bytes, the room left in the packet and the format's state;
// the RTP header and the socket are not its business.
#pragma once

#include <cstdint>
#include <span>

// What one packet takes from the remaining bytes of a unit.
struct payload_cut {
  int header_len = 0; // payload header bytes written (after the RTP header)
  int skip = 0;       // unit bytes consumed without being sent (start code, NAL header)
  int take = 0;       // unit bytes carried after the skipped ones
  bool last = false;  // the packet carries the unit's last byte
};

// Formats without a payload header (MPEG-4, mu-law, metadata, JPEG files):
// as many bytes as fit.
inline payload_cut cut_plain(std::span<const uint8_t> rest, int room) {
  payload_cut cut;
  const int size = static_cast<int>(rest.size());
  cut.take = size <= room ? size : (room > 0 ? room : 0);
  cut.last = size <= room;
  return cut;
}

// H.264 fragmentation state that carries over from the first packet of a NAL
// unit to its continuation packets.
struct h264_fu_state {
  uint8_t nri = 0;  // N & 0x60 of the last NAL header seen at a unit start
  uint8_t type = 0; // N & 0x1F
};

inline constexpr int kH264StartCodeSize = 4;
inline constexpr uint8_t kNalStapA = 24;
inline constexpr uint8_t kNalFuA = 28;

// STAP-A (or a single NAL unit packet with disable_stap) for SEI, SPS and PPS
// that fit one packet; FU-A for everything else. hdr must hold 3 bytes.
payload_cut cut_h264(std::span<const uint8_t> rest, int room, bool disable_stap, h264_fu_state& state,
                     std::span<uint8_t> hdr);

// RFC 2435 header fields of the current picture.
struct jpeg_fields {
  uint8_t type_specific = 0;
  uint32_t offset = 0; // scan-data offset of this packet; low 24 bits on the wire
  uint8_t type = 0;
  uint8_t q = 0;
  uint8_t width = 0;  // pixels / 8
  uint8_t height = 0; // pixels / 8
  uint8_t qt_mbz = 0;
  uint8_t qt_precision = 0;
  std::span<const uint8_t> qt; // quantisation tables (qt_length bytes)
};

inline constexpr int kJpegMainHeaderSize = 8;
inline constexpr int kJpegQtHeaderSize = 4;
inline constexpr uint8_t kJpegFirstQtQ = 128; // Q from here on carries its tables in-band

// Main header in every packet; with Q >= 128 the quantisation-table header
// follows it in the packet at offset 0 only. take is 0 when the headers leave
// no room for scan data.
payload_cut cut_jpeg(std::span<const uint8_t> rest, int room, const jpeg_fields& fields, std::span<uint8_t> hdr);
