// What the probe found wrong (or merely odd) in a stream. Each kind has a
// stable name used in the JSON report; violations make the probe fail,
// warnings are only reported.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace toolkit {}

namespace probe {

// The packet readers and byte helpers of the toolkit, unqualified.
using namespace toolkit;

enum class Finding : int {
  short_packet,
  bad_version,
  bad_padding,
  payload_type,
  ssrc_changed,
  gap,
  duplicate,
  reordered,
  timestamp_backwards,
  missing_marker,
  marker_mid_frame,
  audio_timestamp_step,
  audio_marker,
  frame_start,
  nal_forbidden_bit,
  nal_type,
  stap_sizes,
  fu_no_start,
  fu_missing_end,
  fu_header_changed,
  fu_start_and_end,
  fu_empty,
  h264_timestamp,
  jpeg_header,
  jpeg_offset,
  jpeg_header_changed,
  jpeg_qt,
  jpeg_form,
  rtcp_malformed,
  sr_ssrc,
  sr_ntp,
  sr_timestamp,
  sr_packet_count,
  sr_octet_count,
  sr_unverified,
  interleave_framing,
  interleave_channel,
  count_
};

inline constexpr size_t kFindingKinds = static_cast<size_t>(Finding::count_);

std::string_view finding_name(Finding kind);
bool is_violation(Finding kind);

struct FindingRecord {
  Finding kind;
  uint64_t packet_index; // RTP packets received before this finding
  std::string text;
};

// Counts every finding and keeps the text of the first few of each kind,
// so a broken stream cannot grow the report without bound.
class Findings {
 public:
  static constexpr int kKeptPerKind = 10;

  void add(Finding kind, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  void set_packet_index(uint64_t index) { packet_index_ = index; }

  uint64_t count(Finding kind) const { return counts_[static_cast<size_t>(kind)]; }
  uint64_t violations() const;
  uint64_t warnings() const;
  const std::vector<FindingRecord>& records() const { return records_; }

 private:
  std::array<uint64_t, kFindingKinds> counts_{};
  std::vector<FindingRecord> records_;
  uint64_t packet_index_ = 0;
};

} // namespace probe
