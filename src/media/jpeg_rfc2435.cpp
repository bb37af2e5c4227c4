#include "media/jpeg_rfc2435.h"

#include <cstring>
#include <span>

#include "media/jpeg_header.h"
#include "platform/framestore.h"
#include "record/stream_record.h"

namespace {

constexpr uint8_t kTypeSpecific = 0;
constexpr uint8_t kFirstQWithTables = 128;
constexpr uint8_t kTypeRestartOffset = 64;
constexpr uint8_t kQOwnTables = 255;
constexpr uint8_t kFirstReservedQ = 100;

// Q 0 and 100-127 have no meaning a receiver could rebuild tables from.
bool is_reserved_q(uint8_t q) {
  return q == 0 || (q >= kFirstReservedQ && q < kFirstQWithTables);
}

}  // namespace

uint8_t rfc2435_dimension(uint16_t pixels) {
  if (pixels > kMaxRfc2435Dimension) return 0;
  return static_cast<uint8_t>(pixels / 8);
}

int prepare_rfc2435_picture(rtp_thread* thread, const shm_blockinfo& info, unsigned char* picture,
                            int length, jpeg_fit* fit) {
  *fit = jpeg_fit::fits;
  const std::span<const uint8_t> bytes(picture, static_cast<size_t>(length));
  const auto scan = jpeg_scan_offset(bytes);
  if (!scan || static_cast<int>(*scan) > length - kMinScanBytes) return 0;
  const int header = static_cast<int>(*scan);
  const jpeg_form form = jpeg_rfc2435_form(bytes.first(static_cast<size_t>(header)));
  *fit = form.fit;
  if (form.fit != jpeg_fit::fits) return 0;

  uint8_t q = static_cast<uint8_t>(info.quality & 0xFF);
  if (is_reserved_q(q)) q = kQOwnTables;
  thread->jpeg_type_specific = kTypeSpecific;
  // Restart markers in the scan data: the restart marker header's types.
  thread->jpeg_type = static_cast<uint8_t>(form.type + (form.restart_interval != 0 ? kTypeRestartOffset : 0));
  thread->jpeg_restart_interval = form.restart_interval;
  thread->jpeg_q = q;
  thread->jpeg_width = rfc2435_dimension(info.width != 0 ? info.width : info.fallback_width);
  thread->jpeg_height = rfc2435_dimension(info.height != 0 ? info.height : info.fallback_height);
  // The tables have to be taken before the header part is overwritten.
  jpeg_qt_tables tables;
  if (q >= kFirstQWithTables) {
    tables = jpeg_quant_tables(bytes.first(static_cast<size_t>(header)), thread->jpeg_qt_data);
  }
  thread->jpeg_qt_mbz = 0;
  thread->jpeg_qt_precision = tables.precision;
  thread->jpeg_qt_length = tables.length;

  const int scan_length = length - header;
  std::memmove(picture, picture + header, static_cast<size_t>(scan_length));
  return scan_length;
}
