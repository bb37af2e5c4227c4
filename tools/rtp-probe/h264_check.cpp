#include "h264_check.h"

namespace probe {
namespace {

constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;
constexpr uint8_t kSlice = 1;
constexpr uint8_t kIdr = 5;
constexpr uint8_t kSps = 7;
constexpr uint8_t kPps = 8;

bool single_nal_type(uint8_t type) { return type >= 1 && type <= 23; }

} // namespace

void H264Checker::count_nal(uint8_t header) {
  ++counts_.nal_units;
  switch (header & 0x1F) {
    case kIdr: ++counts_.idr_units; break;
    case kSps: ++counts_.sps_units; break;
    case kPps: ++counts_.pps_units; break;
    default: break;
  }
}

// One timestamp per picture: a picture's first slice (first_mb_in_slice 0,
// the first bit after the NAL header set) must move the clock on from the
// slices before it, and a slice that continues the picture must not.
void H264Checker::slice_timing(const RtpPacket& p, uint8_t type, Bytes body, bool resync) {
  if ((type != kSlice && type != kIdr) || body.empty()) return;
  const bool first_slice = (body[0] & 0x80) != 0;
  if (have_slice_ && !resync) {
    if (first_slice && p.timestamp == slice_timestamp_) {
      findings_.add(Finding::h264_timestamp, "seq %u: a new picture with the timestamp %u of the one before", p.seq,
                    p.timestamp);
    } else if (!first_slice && p.timestamp != slice_timestamp_) {
      findings_.add(Finding::h264_timestamp, "seq %u: a slice continuing a picture moved the timestamp to %u", p.seq,
                    p.timestamp);
    }
  }
  have_slice_ = true;
  slice_timestamp_ = p.timestamp;
}

// The marker ends the picture: a NAL unit other than a slice has it always
// (the daemon sends each one so), a slice may leave it to a further slice.
void H264Checker::unmarked_end(const RtpPacket& p, uint8_t type, const char* what) {
  if (type == kSlice || type == kIdr) {
    unmarked_slice_ = true;
    unmarked_seq_ = p.seq;
  } else {
    findings_.add(Finding::missing_marker, "seq %u: %s (type %u) without marker", p.seq, what, type);
  }
}

void H264Checker::on_packet(const RtpPacket& p, bool resync) {
  if (unmarked_slice_ && !resync && p.timestamp != slice_timestamp_) {
    findings_.add(Finding::missing_marker, "seq %u: the picture ended at seq %u without marker", p.seq,
                  unmarked_seq_);
  }
  unmarked_slice_ = false;
  if (p.payload.empty()) {
    findings_.add(Finding::nal_type, "seq %u: empty H.264 payload", p.seq);
    return;
  }
  const uint8_t header = p.payload[0];
  const uint8_t type = header & 0x1F;
  if (header & 0x80) {
    findings_.add(Finding::nal_forbidden_bit, "seq %u: forbidden bit set in NAL header 0x%02x", p.seq, header);
  }
  if (fu_open_ && !resync && (type != kFuA || p.timestamp != fu_timestamp_)) {
    findings_.add(Finding::fu_missing_end, "seq %u: fragmented NAL unit started at seq %u never ended", p.seq,
                  fu_seq_);
    fu_open_ = false;
  }
  if (resync) {
    fu_open_ = false;
  }
  if (single_nal_type(type)) {
    slice_timing(p, type, p.payload.subspan(1), resync);
    single(p, header);
  } else if (type == kStapA) {
    stap_a(p);
  } else if (type == kFuA) {
    fu_a(p, resync);
  } else {
    findings_.add(Finding::nal_type, "seq %u: NAL packet type %u not allowed in packetization mode 1", p.seq,
                  type);
  }
}

void H264Checker::single(const RtpPacket& p, uint8_t header) {
  count_nal(header);
  if (!p.marker) unmarked_end(p, header & 0x1F, "single NAL unit packet");
}

void H264Checker::stap_a(const RtpPacket& p) {
  ++counts_.stap_packets;
  const Bytes b = p.payload;
  size_t at = 1;
  int units = 0;
  while (at < b.size()) {
    if (b.size() - at < 2) {
      findings_.add(Finding::stap_sizes, "seq %u: STAP-A has %zu stray byte(s) after its last unit", p.seq,
                    b.size() - at);
      return;
    }
    const size_t size = be16(b, at);
    at += 2;
    if (size == 0 || size > b.size() - at) {
      findings_.add(Finding::stap_sizes, "seq %u: STAP-A unit %d of %zu bytes but %zu left in the packet", p.seq,
                    units + 1, size, b.size() - at);
      return;
    }
    const uint8_t inner = b[at];
    if ((inner & 0x80) || !single_nal_type(inner & 0x1F)) {
      findings_.add(Finding::nal_type, "seq %u: STAP-A unit %d has NAL header 0x%02x", p.seq, units + 1, inner);
    }
    count_nal(inner);
    ++units;
    at += size;
  }
  if (units == 0) {
    findings_.add(Finding::stap_sizes, "seq %u: STAP-A without any NAL unit", p.seq);
    return;
  }
  if (!p.marker) {
    findings_.add(Finding::missing_marker, "seq %u: STAP-A packet without marker", p.seq);
  }
}

void H264Checker::fu_a(const RtpPacket& p, bool resync) {
  const Bytes b = p.payload;
  if (b.size() < 2) {
    findings_.add(Finding::nal_type, "seq %u: FU-A packet without FU header", p.seq);
    return;
  }
  const uint8_t nri = b[0] & 0x60;
  const uint8_t fu = b[1];
  const bool start = fu & 0x80;
  const bool end = fu & 0x40;
  const uint8_t type = fu & 0x1F;
  if (fu & 0x20) {
    findings_.add(Finding::nal_type, "seq %u: FU header 0x%02x has the reserved bit set", p.seq, fu);
  }
  if (!single_nal_type(type)) {
    findings_.add(Finding::nal_type, "seq %u: FU-A carries NAL type %u", p.seq, type);
  }
  if (b.size() == 2) {
    findings_.add(Finding::fu_empty, "seq %u: FU-A fragment without NAL unit bytes", p.seq);
  }
  if (start) {
    if (fu_open_) {
      findings_.add(Finding::fu_missing_end, "seq %u: FU-A start while the unit from seq %u has not ended", p.seq,
                    fu_seq_);
    }
    if (end) {
      findings_.add(Finding::fu_start_and_end, "seq %u: FU-A fragment with both start and end set", p.seq);
    }
    count_nal(static_cast<uint8_t>(nri | type));
    slice_timing(p, type, b.subspan(2), resync);
    ++counts_.fu_units;
    fu_open_ = !end;
    fu_type_ = type;
    fu_nri_ = nri;
    fu_timestamp_ = p.timestamp;
    fu_seq_ = p.seq;
  } else if (!fu_open_) {
    if (!resync) {
      findings_.add(Finding::fu_no_start, "seq %u: FU-A continuation without a start fragment", p.seq);
    }
    return;
  } else {
    if (type != fu_type_ || nri != fu_nri_) {
      findings_.add(Finding::fu_header_changed,
                    "seq %u: FU-A type/NRI %u/0x%02x differ from %u/0x%02x at the start (seq %u)", p.seq, type, nri,
                    fu_type_, fu_nri_, fu_seq_);
    }
    if (end) {
      fu_open_ = false;
    }
  }
  if (p.marker && !end) {
    findings_.add(Finding::marker_mid_frame, "seq %u: marker on an FU-A fragment that is not the end", p.seq);
  } else if (end && !p.marker) {
    unmarked_end(p, type, "FU-A end fragment");
  }
}

} // namespace probe
