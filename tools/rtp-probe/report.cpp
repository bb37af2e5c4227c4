#include "report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace probe {
namespace {

void appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  if (n > 0) {
    out.append(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
  }
}

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      appendf(out, "\\u%04x", c);
    } else {
      out += c;
    }
  }
  out += '"';
}

// Over the arrival times; a file has none worth the name, so there the
// media time that the RTP timestamps span is used.
double mean_kbps(const StreamStats& s, bool by_timestamps = false) {
  double span = s.last_arrival - s.first_arrival;
  if (by_timestamps) {
    const double clock = s.payload_type == 0 || s.payload_type == 8 ? 8000.0 : 90000.0;
    span = static_cast<uint32_t>(s.last_timestamp - s.first_timestamp) / clock;
  }
  return span > 0 ? static_cast<double>(s.rtp_bytes) * 8.0 / span / 1000.0 : 0.0;
}

const char* result_text(int status) {
  switch (status) {
    case kExitClean: return "clean";
    case kExitViolations: return "violations";
    default: return "nothing received";
  }
}

const char* basis_name(int basis) {
  switch (basis) {
    case static_cast<int>(OctetBasis::framed): return "as sent";
    case static_cast<int>(OctetBasis::packet): return "rtp packet";
    case static_cast<int>(OctetBasis::payload): return "payload";
    default: return "";
  }
}

} // namespace

int exit_status(const StreamChecker& checker) {
  if (checker.findings().violations() > 0) {
    return kExitViolations;
  }
  return checker.stats().rtp_packets == 0 ? kExitNothing : kExitClean;
}

std::string live_line(const StreamChecker& checker, double seconds) {
  const StreamStats& s = checker.stats();
  std::string out;
  appendf(out,
          "rtp-probe: %6.1f s  %" PRIu64 " packets  %" PRIu64 " bytes  %" PRIu64 " frames  %.0f kbit/s  %" PRIu64
          " SR  %" PRIu64 " violations",
          seconds, s.rtp_packets, s.rtp_bytes, s.frames, mean_kbps(s), s.sender_reports,
          checker.findings().violations());
  return out;
}

std::string json_report(const StreamChecker& checker, const RunInfo& info) {
  const StreamStats& s = checker.stats();
  const Findings& f = checker.findings();
  const int status = exit_status(checker);
  std::string out = "{";
  appendf(out, "\"result\":\"%s\",\"exit\":%d,\"transport\":", result_text(status), status);
  append_json_string(out, info.transport);
  appendf(out, ",\"seconds\":%.3f,\"packets\":%" PRIu64 ",\"bytes\":%" PRIu64 ",\"payload_bytes\":%" PRIu64
               ",\"frames\":%" PRIu64 ",\"markers\":%" PRIu64 ",\"bitrate_kbps\":%.1f",
          info.seconds, s.rtp_packets, s.rtp_bytes, s.payload_bytes, s.frames, s.markers,
          mean_kbps(s, info.transport == "file"));
  appendf(out, ",\"payload_type\":%d,\"ssrc\":", s.payload_type);
  if (s.ssrc) {
    appendf(out, "\"0x%08x\"", *s.ssrc);
  } else {
    out += "null";
  }
  appendf(out, ",\"first_seq\":%d,\"last_seq\":%d,\"first_timestamp\":%u,\"last_timestamp\":%u", s.first_seq,
          s.last_seq, s.first_timestamp, s.last_timestamp);
  appendf(out, ",\"lost\":%" PRIu64 ",\"duplicates\":%" PRIu64 ",\"reordered\":%" PRIu64,
          checker.sequence().lost(), s.duplicates, s.reordered);
  const SrCounts& sr = checker.sender_reports().counts();
  appendf(out, ",\"rtcp_packets\":%" PRIu64 ",\"sender_reports\":%" PRIu64 ",\"sr_packet_checked\":%" PRIu64
               ",\"sr_octet_checked\":%" PRIu64 ",\"sr_octet_basis\":\"%s\"",
          s.rtcp_packets, s.sender_reports, sr.packet_checked, sr.octet_checked, basis_name(sr.octet_basis));
  if (s.payload_type == 96) {
    const H264Counts& h = checker.h264().counts();
    appendf(out, ",\"h264\":{\"nal_units\":%" PRIu64 ",\"idr\":%" PRIu64 ",\"sps\":%" PRIu64 ",\"pps\":%" PRIu64
                 ",\"stap_a\":%" PRIu64 ",\"fu_a_units\":%" PRIu64 "}",
            h.nal_units, h.idr_units, h.sps_units, h.pps_units, h.stap_packets, h.fu_units);
  } else if (s.payload_type == 26) {
    const JpegCounts& j = checker.jpeg().counts();
    appendf(out, ",\"jpeg\":{\"pictures\":%" PRIu64 ",\"rfc2435\":%s,\"type\":%u,\"q\":%u,\"width\":%u,\"height\":%u}",
            j.pictures, j.rfc2435 ? "true" : "false", j.type, j.q, j.width, j.height);
  }
  out += ",\"rtp_source\":";
  append_json_string(out, info.rtp_source);
  out += ",\"rtcp_source\":";
  append_json_string(out, info.rtcp_source);
  appendf(out, ",\"ttl\":%d,\"tos\":%d,\"rtp_channel\":%d,\"rtcp_channel\":%d", info.ttl, info.tos,
          info.rtp_channel, info.rtcp_channel);
  appendf(out, ",\"violations\":%" PRIu64 ",\"warnings\":%" PRIu64 ",\"findings\":{", f.violations(), f.warnings());
  bool first = true;
  for (size_t i = 0; i < kFindingKinds; ++i) {
    const auto kind = static_cast<Finding>(i);
    if (f.count(kind) == 0) {
      continue;
    }
    if (!first) {
      out += ',';
    }
    first = false;
    append_json_string(out, finding_name(kind));
    appendf(out, ":%" PRIu64, f.count(kind));
  }
  out += "}}";
  return out;
}

std::string text_report(const StreamChecker& checker, const RunInfo& info) {
  const StreamStats& s = checker.stats();
  const Findings& f = checker.findings();
  std::string out;
  appendf(out, "rtp-probe: %s over %s for %.1f s\n", result_text(exit_status(checker)), info.transport.c_str(),
          info.seconds);
  appendf(out, "  RTP: %" PRIu64 " packets, %" PRIu64 " bytes, %" PRIu64 " frames, %.1f kbit/s, payload type %d",
          s.rtp_packets, s.rtp_bytes, s.frames, mean_kbps(s, info.transport == "file"), s.payload_type);
  if (s.ssrc) {
    appendf(out, ", SSRC 0x%08x", *s.ssrc);
  }
  if (!info.rtp_source.empty()) {
    appendf(out, ", from %s", info.rtp_source.c_str());
  }
  out += '\n';
  appendf(out, "  sequence: first %d, last %d, %" PRIu64 " lost, %" PRIu64 " duplicated, %" PRIu64 " reordered\n",
          s.first_seq, s.last_seq, checker.sequence().lost(), s.duplicates, s.reordered);
  const SrCounts& sr = checker.sender_reports().counts();
  appendf(out, "  RTCP: %" PRIu64 " packets, %" PRIu64 " sender reports (%" PRIu64 " packet counts and %" PRIu64
               " octet counts verified)\n",
          s.rtcp_packets, s.sender_reports, sr.packet_checked, sr.octet_checked);
  appendf(out, "  %" PRIu64 " violation(s), %" PRIu64 " warning(s)\n", f.violations(), f.warnings());
  for (const FindingRecord& r : f.records()) {
    appendf(out, "  %s %s: %s\n", is_violation(r.kind) ? "violation" : "warning",
            std::string(finding_name(r.kind)).c_str(), r.text.c_str());
  }
  for (size_t i = 0; i < kFindingKinds; ++i) {
    const auto kind = static_cast<Finding>(i);
    if (f.count(kind) > static_cast<uint64_t>(Findings::kKeptPerKind)) {
      appendf(out, "  ... %" PRIu64 " more %s\n", f.count(kind) - Findings::kKeptPerKind,
              std::string(finding_name(kind)).c_str());
    }
  }
  return out;
}

} // namespace probe
