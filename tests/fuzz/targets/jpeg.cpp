// Stored JPEG pictures through the header walk, the quantisation-table
// extraction, the RFC 2435 preparation and the packetiser. The first byte
// is Q, the second the flags, the next two the MTU; the rest is the picture.
// What goes out must be exactly the picture's scan data, each packet's
// offset field naming where its piece starts, the tables only in the first
// packet and only with Q of 128 or more (reserved Q values go as 255), the
// restart marker header in every packet of a picture with DRI, and a
// picture is refused exactly when its layout says it cannot be described.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "media/jpeg_header.h"
#include "media/jpeg_rfc2435.h"
#include "packetise.h"
#include "platform/framestore.h"
#include "stream/payload_format.h"
#include "stream/rtp_thread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet_logs();
  fuzz_bytes input(data, size);
  const uint8_t q = input.u8();
  const uint8_t flags = input.u8();
  const uint16_t mtu = input.u16();
  const std::span<const uint8_t> rest = input.rest();
  const size_t length = rest.size();
  const auto picture = fuzz_exact_copy(rest.data(), length);
  const std::span<const uint8_t> bytes(picture.get(), length);

  const auto scan = jpeg_scan_offset(bytes);
  // A picture of SOI or less has its scan data after SOI, where the
  // preparation finds too little of it.
  FUZZ_EXPECT(!scan || *scan <= std::max<size_t>(length, 2));
  const size_t header = scan ? std::min(*scan, length) : length;
  const auto tables = std::make_unique<uint8_t[]>(kJpegQtMaxBytes);
  const jpeg_qt_tables qt =
      jpeg_quant_tables(bytes.first(header), std::span<uint8_t>(tables.get(), kJpegQtMaxBytes));
  const size_t luma = (qt.precision & 1) != 0 ? 128 : 64;
  const size_t chroma = (qt.precision & 2) != 0 ? 128 : 64;
  FUZZ_EXPECT(qt.length == 0 || qt.length == luma || qt.length == luma + chroma);

  auto thread = std::make_unique<rtp_thread>();
  thread->payload = kPayloadJpeg;
  thread->rtp_payload_type = kPayloadJpeg;
  thread->enable_rfc2435 = true;
  fuzz_choose_transport(*thread, mtu, flags);
  shm_blockinfo info{};
  info.quality = q;
  info.width = static_cast<uint16_t>((flags & 0x10) != 0 ? 4096 : 640);
  info.height = 480;

  const std::vector<uint8_t> original(bytes.begin(), bytes.end());
  const jpeg_form form = jpeg_rfc2435_form(bytes.first(header));
  FUZZ_EXPECT(form.type <= 1);
  jpeg_fit fit = jpeg_fit::fits;
  const int n = prepare_rfc2435_picture(thread.get(), info, picture.get(), static_cast<int>(length), &fit);
  FUZZ_EXPECT(fit == jpeg_fit::fits || fit == form.fit);
  if (n == 0) return 0;
  const bool restart = form.restart_interval != 0;
  FUZZ_EXPECT(form.fit == jpeg_fit::fits && thread->jpeg_type == form.type + (restart ? 64 : 0));
  FUZZ_EXPECT(thread->jpeg_restart_interval == form.restart_interval);
  FUZZ_EXPECT(scan && n >= kMinScanBytes && static_cast<size_t>(n) == length - *scan);
  FUZZ_EXPECT(std::memcmp(picture.get(), original.data() + *scan, static_cast<size_t>(n)) == 0);
  const uint8_t sent_q = (q == 0 || (q >= 100 && q < kJpegFirstQtQ)) ? 255 : q;
  const bool with_tables = sent_q >= kJpegFirstQtQ;
  FUZZ_EXPECT(thread->jpeg_qt_length == (with_tables ? qt.length : 0));
  FUZZ_EXPECT(thread->jpeg_qt_length <= kJpegQtMaxBytes);

  std::vector<uint8_t> sent;
  const int main_len = kJpegMainHeaderSize + (restart ? kJpegRestartHeaderSize : 0);
  const int min_room = main_len + 1 + (with_tables ? kJpegQtHeaderSize + thread->jpeg_qt_length : 0);
  fuzz_packetise(*thread, std::span<const uint8_t>(picture.get(), static_cast<size_t>(n)), min_room,
                 [&](const fuzz_packet& p) {
                   const auto& h = p.payload_header;
                   const bool first = sent.empty();
                   const int tables_len = first && with_tables ? kJpegQtHeaderSize + thread->jpeg_qt_length : 0;
                   FUZZ_EXPECT(static_cast<int>(h.size()) == main_len + tables_len);
                   FUZZ_EXPECT(static_cast<size_t>(h[1] << 16 | h[2] << 8 | h[3]) == (sent.size() & 0xFFFFFF));
                   FUZZ_EXPECT(h[5] == sent_q && h[6] == thread->jpeg_width && h[7] == thread->jpeg_height);
                   // Restart marker header: DRI's interval, F and L set, count 0x3FFF.
                   if (restart) FUZZ_EXPECT((h[8] << 8 | h[9]) == form.restart_interval && h[10] == 0xFF && h[11] == 0xFF);
                   if (first && with_tables) {
                     FUZZ_EXPECT((h[main_len + 2] << 8 | h[main_len + 3]) == thread->jpeg_qt_length);
                     FUZZ_EXPECT(std::memcmp(&h[main_len + 4], tables.get(), thread->jpeg_qt_length) == 0);
                   }
                   sent.insert(sent.end(), p.payload.begin(), p.payload.end());
                 });
  if (!sent.empty()) {
    FUZZ_EXPECT(sent.size() == static_cast<size_t>(n));
    FUZZ_EXPECT(std::memcmp(sent.data(), picture.get(), sent.size()) == 0);
  }
  return 0;
}
