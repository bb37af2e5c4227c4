#include "stream/payload_format.h"

#include <algorithm>
#include <cstring>

#include "stream/rtp_header.h"

namespace {
constexpr uint16_t kRestartFirstLastAnyCount = 0xFFFF; // F = 1, L = 1, count 0x3FFF
} // namespace

payload_cut cut_jpeg(std::span<const uint8_t> rest, int room, size_t offset, const jpeg_fields& fields,
                     std::span<uint8_t> hdr) {
  // Q stays the same in every packet of a picture (Q 0 is reserved); the
  // tables travel once, in the packet that starts the scan data.
  const bool with_tables = fields.q >= kJpegFirstQtQ && (offset & 0xFFFFFF) == 0;
  const bool with_restart = fields.type >= kJpegRestartTypes && fields.type < kJpegFirstQtQ;
  const int qt_len = static_cast<int>(fields.qt.size());
  const int restart_len = with_restart ? kJpegRestartHeaderSize : 0;
  const int header_len = kJpegMainHeaderSize + restart_len + (with_tables ? kJpegQtHeaderSize + qt_len : 0);

  payload_cut cut;
  if (header_len >= room || header_len > static_cast<int>(hdr.size())) {
    return cut; // not even one byte of scan data would fit
  }
  hdr[0] = fields.type_specific;
  put_be24(&hdr[1], static_cast<uint32_t>(offset));
  hdr[4] = fields.type;
  hdr[5] = fields.q;
  hdr[6] = fields.width;
  hdr[7] = fields.height;
  if (with_restart) {
    // Packets need not hold whole restart intervals: first and last bits
    // set, count 0x3FFF, as for a picture cut anywhere.
    put_be16(&hdr[kJpegMainHeaderSize], fields.restart_interval);
    put_be16(&hdr[kJpegMainHeaderSize + 2], kRestartFirstLastAnyCount);
  }
  if (with_tables) {
    uint8_t* qt = &hdr[kJpegMainHeaderSize + restart_len];
    qt[0] = fields.qt_mbz;
    qt[1] = fields.qt_precision;
    put_be16(&qt[2], static_cast<uint32_t>(qt_len));
    if (qt_len > 0) std::memcpy(qt + kJpegQtHeaderSize, fields.qt.data(), fields.qt.size());
  }

  const int size = static_cast<int>(rest.size());
  const int fits = room - header_len;
  cut.header_len = header_len;
  cut.last = size <= fits;
  cut.take = cut.last ? size : fits;
  return cut;
}
