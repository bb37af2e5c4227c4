#include "jpeg_check.h"

namespace probe {
namespace {

constexpr size_t kMainHeader = 8;
constexpr size_t kRestartHeader = 4;
constexpr size_t kQtHeader = 4;

bool starts_with_soi(Bytes b) { return b.size() >= 2 && b[0] == 0xFF && b[1] == 0xD8; }

bool known_type(uint8_t type) { return type <= 1 || type == 64 || type == 65 || type >= 128; }

bool has_restart_header(uint8_t type) { return type >= 64 && type < 128; }

// Q 0 and 100-127 have no defined tables.
bool reserved_q(uint8_t q) { return q == 0 || (q >= 100 && q < 128); }

constexpr uint16_t kRestartCountUnknown = 0x3FFF;

} // namespace

void JpegChecker::on_packet(const RtpPacket& p, bool frame_start, bool resync) {
  if (frame_start) {
    ++counts_.pictures;
    Form form = starts_with_soi(p.payload) ? Form::whole_file : Form::rfc2435;
    if (resync && form_ != Form::unknown) {
      form = form_; // the picture's first packet may be the lost one
    }
    if (form_ != Form::unknown && form != form_) {
      findings_.add(Finding::jpeg_form, "seq %u: picture %s the RFC 2435 header, earlier pictures %s", p.seq,
                    form == Form::rfc2435 ? "has" : "lacks", form_ == Form::rfc2435 ? "had it" : "did not");
    }
    form_ = form;
    counts_.rfc2435 = form == Form::rfc2435;
  }
  if (form_ == Form::rfc2435) {
    rfc2435(p, frame_start, resync);
  }
}

void JpegChecker::rfc2435(const RtpPacket& p, bool frame_start, bool resync) {
  const Bytes b = p.payload;
  if (b.size() < kMainHeader) {
    findings_.add(Finding::jpeg_header, "seq %u: %zu payload bytes, shorter than the JPEG main header", p.seq,
                  b.size());
    in_picture_ = false;
    return;
  }
  const uint32_t offset = static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 | b[3];
  const uint8_t type = b[4], q = b[5], width = b[6], height = b[7];
  size_t header = kMainHeader;
  if (!known_type(type)) {
    findings_.add(Finding::jpeg_header, "seq %u: JPEG type %u is not defined", p.seq, type);
  }
  if (has_restart_header(type)) {
    header += kRestartHeader;
    if (b.size() >= header) restart_header(p, b, frame_start);
  }
  if (reserved_q(q)) {
    findings_.add(Finding::jpeg_header, "seq %u: JPEG Q %u is reserved", p.seq, q);
  }
  if (offset == 0 && q >= 128) {
    if (b.size() < header + kQtHeader) {
      findings_.add(Finding::jpeg_qt, "seq %u: quantisation-table header missing for Q %u", p.seq, q);
      in_picture_ = false;
      return;
    }
    const size_t length = be16(b, header + 2);
    header += kQtHeader + length;
    if (header > b.size()) {
      findings_.add(Finding::jpeg_qt, "seq %u: quantisation tables of %zu bytes run past the packet", p.seq, length);
      in_picture_ = false;
      return;
    }
    if (length == 0 && (q == 255 || !tables_seen_[q])) {
      findings_.add(Finding::jpeg_qt, "seq %u: Q %u with an empty quantisation-table header and no tables before",
                    p.seq, q);
    } else if (length > 0) {
      tables_seen_[q] = true;
    }
  } else if (header > b.size()) {
    findings_.add(Finding::jpeg_header, "seq %u: restart header missing", p.seq);
    in_picture_ = false;
    return;
  }
  const auto data = static_cast<uint32_t>(b.size() - header);
  if (!has_restart_header(type)) restart_markers(p, b.subspan(header), frame_start);

  if (frame_start) {
    if (offset != 0 && !resync) {
      findings_.add(Finding::jpeg_offset, "seq %u: picture starts at fragment offset %u", p.seq, offset);
    }
    in_picture_ = true;
    type_ = type;
    q_ = q;
    width_ = width;
    height_ = height;
    counts_.type = type;
    counts_.q = q;
    counts_.width = width * 8u;
    counts_.height = height * 8u;
  } else if (!in_picture_) {
    if (!resync) {
      return;
    }
    // Joined in the middle of a picture: follow it from here.
    in_picture_ = true;
    type_ = type;
    q_ = q;
    width_ = width;
    height_ = height;
  } else {
    if (offset != next_offset_) {
      findings_.add(Finding::jpeg_offset, "seq %u: fragment offset %u, expected %u", p.seq, offset, next_offset_);
    }
    if (type != type_ || q != q_ || width != width_ || height != height_) {
      findings_.add(Finding::jpeg_header_changed,
                    "seq %u: type/Q/width/height %u/%u/%u/%u differ from %u/%u/%u/%u earlier in the picture", p.seq,
                    type, q, width, height, type_, q_, width_, height_);
    }
  }
  next_offset_ = offset + data;
}

// The restart marker header: an interval, the same all through the picture;
// a packet that does not hold whole restart intervals (F and L both set)
// carries the count 0x3FFF.
void JpegChecker::restart_header(const RtpPacket& p, Bytes b, bool frame_start) {
  const uint16_t interval = be16(b, kMainHeader);
  const bool first = (b[kMainHeader + 2] & 0x80) != 0, last = (b[kMainHeader + 2] & 0x40) != 0;
  const uint16_t count = be16(b, kMainHeader + 2) & 0x3FFF;
  if (interval == 0) {
    findings_.add(Finding::jpeg_header, "seq %u: restart marker header with interval 0", p.seq);
  } else if (!frame_start && interval != restart_interval_) {
    findings_.add(Finding::jpeg_header, "seq %u: restart interval %u, %u earlier in the picture", p.seq, interval,
                  restart_interval_);
  }
  if (first && last && count != kRestartCountUnknown) {
    findings_.add(Finding::jpeg_header, "seq %u: restart count %u with F and L set", p.seq, count);
  }
  restart_interval_ = interval;
}

// Scan data with restart markers (FF D0 to FF D7) needs the restart header;
// without it receivers decode garbage.
void JpegChecker::restart_markers(const RtpPacket& p, Bytes data, bool frame_start) {
  if (frame_start) {
    after_ff_ = false;
    told_markers_ = false;
  }
  for (const uint8_t byte : data) {
    if (after_ff_ && byte >= 0xD0 && byte <= 0xD7 && !told_markers_) {
      findings_.add(Finding::jpeg_header, "seq %u: restart markers in the scan data of a type without the restart "
                    "header", p.seq);
      told_markers_ = true;
    }
    after_ff_ = byte == 0xFF;
  }
}

} // namespace probe
