#include "findings.h"

#include <cstdarg>
#include <cstdio>

namespace probe {
namespace {

struct KindInfo {
  std::string_view name;
  bool violation;
};

constexpr std::array<KindInfo, kFindingKinds> kKinds = {{
    {"short_packet", true},
    {"bad_version", true},
    {"bad_padding", true},
    {"payload_type", true},
    {"ssrc_changed", true},
    {"gap", true},
    {"duplicate", true},
    {"reordered", true},
    {"timestamp_backwards", true},
    {"missing_marker", true},
    {"marker_mid_frame", true},
    {"audio_timestamp_step", true},
    {"audio_marker", true},
    {"frame_start", false},
    {"nal_forbidden_bit", true},
    {"nal_type", true},
    {"stap_sizes", true},
    {"fu_no_start", true},
    {"fu_missing_end", true},
    {"fu_header_changed", true},
    // Forbidden by the payload format; strict receivers drop such packets.
    {"fu_start_and_end", true},
    {"fu_empty", false},
    {"h264_timestamp", true},
    {"jpeg_header", true},
    {"jpeg_offset", true},
    {"jpeg_header_changed", true},
    {"jpeg_qt", true},
    {"jpeg_form", true},
    {"rtcp_malformed", true},
    {"sr_ssrc", true},
    {"sr_ntp", true},
    {"sr_timestamp", true},
    {"sr_packet_count", true},
    {"sr_octet_count", true},
    {"sr_unverified", false},
    {"interleave_framing", true},
    {"interleave_channel", true},
}};

} // namespace

std::string_view finding_name(Finding kind) { return kKinds[static_cast<size_t>(kind)].name; }

bool is_violation(Finding kind) { return kKinds[static_cast<size_t>(kind)].violation; }

void Findings::add(Finding kind, const char* fmt, ...) {
  auto& n = counts_[static_cast<size_t>(kind)];
  ++n;
  if (n > kKeptPerKind) {
    return;
  }
  char text[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  records_.push_back({kind, packet_index_, text});
}

uint64_t Findings::violations() const {
  uint64_t total = 0;
  for (size_t i = 0; i < kFindingKinds; ++i) {
    if (kKinds[i].violation) {
      total += counts_[i];
    }
  }
  return total;
}

uint64_t Findings::warnings() const {
  uint64_t total = 0;
  for (size_t i = 0; i < kFindingKinds; ++i) {
    if (!kKinds[i].violation) {
      total += counts_[i];
    }
  }
  return total;
}

} // namespace probe
