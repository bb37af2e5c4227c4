#include "stream_checker.h"

namespace probe {
namespace {

constexpr int kPtPcmu = 0;
constexpr int kPtPcma = 8;
constexpr int kPtJpeg = 26;
constexpr int kPtH264 = 96;
constexpr int kPtMetadata = 107;
constexpr int kPtMpeg4 = 120;

// Payloads whose frames end with the marker bit and whose timestamp may
// change only after it.
bool marker_ends_frame(int pt) { return pt == kPtJpeg || pt == kPtMpeg4 || pt == kPtMetadata; }
bool is_audio(int pt) { return pt == kPtPcmu || pt == kPtPcma; }

} // namespace

StreamChecker::StreamChecker(const CheckOptions& options)
    : options_(options), sr_(findings_, options.check_clock) {
  stats_.payload_type = options.payload_type;
}

void StreamChecker::on_rtp(Bytes bytes, size_t framing, double arrival) {
  findings_.set_packet_index(stats_.rtp_packets);
  ++stats_.rtp_packets;
  stats_.rtp_bytes += bytes.size();
  if (stats_.rtp_packets == 1) {
    stats_.first_arrival = arrival;
  }
  stats_.last_arrival = arrival;

  RtpPacket p;
  switch (parse_rtp(bytes, p)) {
    case RtpError::none: break;
    case RtpError::too_short:
      findings_.add(Finding::short_packet, "packet of %zu bytes, shorter than an RTP header", bytes.size());
      return;
    case RtpError::bad_version:
      findings_.add(Finding::bad_version, "seq %u: RTP version %u", p.seq, p.version);
      return;
    case RtpError::header_overrun:
      findings_.add(Finding::short_packet, "seq %u: CSRC list or extension runs past the packet", p.seq);
      return;
    case RtpError::bad_padding:
      findings_.add(Finding::bad_padding, "seq %u: padding count %u does not fit the packet", p.seq,
                    bytes.empty() ? 0u : bytes.back());
      return;
  }
  stats_.payload_bytes += p.payload.size();

  if (!stats_.ssrc) {
    stats_.ssrc = p.ssrc;
    if (report_ssrc_ && *report_ssrc_ != p.ssrc) {
      findings_.add(Finding::sr_ssrc, "sender report SSRC 0x%08x, RTP SSRC 0x%08x", *report_ssrc_, p.ssrc);
    }
  } else if (*stats_.ssrc != p.ssrc) {
    findings_.add(Finding::ssrc_changed, "seq %u: SSRC 0x%08x, earlier 0x%08x", p.seq, p.ssrc, *stats_.ssrc);
    return;
  }
  bool payload_ok = true;
  if (stats_.payload_type < 0) {
    stats_.payload_type = p.payload_type;
  } else if (p.payload_type != stats_.payload_type) {
    findings_.add(Finding::payload_type, "seq %u: payload type %u, expected %d", p.seq, p.payload_type,
                  stats_.payload_type);
    payload_ok = false;
  }

  const SeqResult seq = sequence_.accept(p.seq);
  bool resync = false;
  switch (seq.cls) {
    case SeqClass::first:
      stats_.first_seq = p.seq;
      stats_.first_timestamp = p.timestamp;
      resync = true;
      break;
    case SeqClass::in_order: break;
    case SeqClass::after_gap:
      ++stats_.gaps;
      findings_.add(Finding::gap, "seq %u: %u packet(s) missing before it", p.seq, seq.missing);
      resync = true;
      break;
    case SeqClass::duplicate:
      ++stats_.duplicates;
      findings_.add(Finding::duplicate, "seq %u received again", p.seq);
      return;
    case SeqClass::late:
      ++stats_.reordered;
      findings_.add(Finding::reordered, "seq %u arrived after seq %u", p.seq,
                    static_cast<unsigned>(sequence_.max_ext() & 0xFFFF));
      sr_.on_rtp(seq.ext, p.timestamp, bytes.size() + framing, bytes.size(), p.payload.size());
      return;
  }
  stats_.last_seq = p.seq;
  stats_.last_timestamp = p.timestamp;
  if (p.marker) {
    ++stats_.markers;
  }
  sr_.on_rtp(seq.ext, p.timestamp, bytes.size() + framing, bytes.size(), p.payload.size());

  const int32_t step = have_previous_ ? static_cast<int32_t>(p.timestamp - previous_timestamp_) : 0;
  if (have_previous_ && step < 0) {
    findings_.add(Finding::timestamp_backwards, "seq %u: timestamp %u before the previous %u", p.seq, p.timestamp,
                  previous_timestamp_);
  }
  const bool frame_start = !have_previous_ || step != 0;
  if (frame_start) {
    ++stats_.frames;
  }
  if (options_.payload_checks && payload_ok) {
    const int pt = stats_.payload_type;
    if (have_previous_ && !resync) {
      if (marker_ends_frame(pt)) {
        if (step != 0 && !previous_marker_) {
          findings_.add(Finding::missing_marker, "seq %u: timestamp changed but the previous frame had no marker",
                        p.seq);
        } else if (step == 0 && previous_marker_) {
          findings_.add(Finding::marker_mid_frame, "seq %u: the frame goes on after a packet with the marker",
                        p.seq);
        }
      } else if (is_audio(pt) && step >= 0 && static_cast<size_t>(step) != previous_payload_) {
        findings_.add(Finding::audio_timestamp_step, "seq %u: timestamp advanced by %d after %zu samples", p.seq,
                      step, previous_payload_);
      } else if (is_audio(pt) && p.marker) {
        // Without silence suppression only a talkspurt's first packet has it.
        findings_.add(Finding::audio_marker, "seq %u: marker on audio that continues the previous packet", p.seq);
      }
    }
    if (pt == kPtH264) {
      h264_.on_packet(p, resync);
    } else if (pt == kPtJpeg) {
      jpeg_.on_packet(p, frame_start, resync);
    } else if (pt == kPtMpeg4 && frame_start && !resync) {
      const Bytes b = p.payload;
      if (b.size() < 3 || b[0] != 0 || b[1] != 0 || b[2] != 1) {
        findings_.add(Finding::frame_start, "seq %u: MPEG-4 frame does not begin with a start code", p.seq);
      }
    }
  }
  have_previous_ = true;
  previous_timestamp_ = p.timestamp;
  previous_marker_ = p.marker;
  previous_payload_ = p.payload.size();
}

void StreamChecker::on_rtcp(Bytes bytes, double now_unix) {
  ++stats_.rtcp_packets;
  const char* error = nullptr;
  const bool ok = for_each_rtcp_part(
      bytes,
      [&](const RtcpPart& part) {
        if (part.type != kRtcpSenderReport) {
          return;
        }
        ++stats_.sender_reports;
        if (part.bytes.size() != 28u + 24u * part.count) {
          findings_.add(Finding::rtcp_malformed, "sender report of %zu bytes with %u report block(s)",
                        part.bytes.size(), part.count);
          return;
        }
        on_sender_report(part.bytes);
        SenderReport sr;
        parse_sender_report(part.bytes, sr);
        sr_.on_report(sr, now_unix);
      },
      &error);
  if (!ok) {
    findings_.add(Finding::rtcp_malformed, "RTCP packet of %zu bytes: %s", bytes.size(), error);
  }
}

void StreamChecker::on_sender_report(Bytes part) {
  const uint32_t ssrc = be32(part, 4);
  if (stats_.ssrc) {
    if (*stats_.ssrc != ssrc) {
      findings_.add(Finding::sr_ssrc, "sender report SSRC 0x%08x, RTP SSRC 0x%08x", ssrc, *stats_.ssrc);
    }
  } else if (report_ssrc_ && *report_ssrc_ != ssrc) {
    findings_.add(Finding::sr_ssrc, "sender report SSRC 0x%08x, earlier report 0x%08x", ssrc, *report_ssrc_);
  } else {
    report_ssrc_ = ssrc;
  }
}

void StreamChecker::finish() { sr_.finish(); }

} // namespace probe
