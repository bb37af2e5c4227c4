// All checks of one received stream: feed it RTP and RTCP packets in
// arrival order, read the findings and the counters at the end. No I/O.
#pragma once

#include <cstdint>
#include <optional>

#include "findings.h"
#include "h264_check.h"
#include "jpeg_check.h"
#include "sequence.h"
#include "sr_check.h"
#include "toolkit/rtp.h"

namespace probe {

struct CheckOptions {
  int payload_type = -1;      // expected payload type; -1: whatever comes first
  bool payload_checks = true; // false: header, sequence, timestamp and RTCP checks only
  bool check_clock = true;    // compare sender-report NTP time with the receiver's clock
};

struct StreamStats {
  uint64_t rtp_packets = 0; // every RTP packet received, duplicates included
  uint64_t rtp_bytes = 0;   // their RTP sizes (headers included, framing not)
  uint64_t payload_bytes = 0;
  uint64_t frames = 0; // runs of packets with one timestamp
  uint64_t markers = 0;
  uint64_t duplicates = 0;
  uint64_t reordered = 0;
  uint64_t gaps = 0;
  uint64_t rtcp_packets = 0;
  uint64_t sender_reports = 0;
  std::optional<uint32_t> ssrc;
  int payload_type = -1;
  int first_seq = -1;
  int last_seq = -1;
  uint32_t first_timestamp = 0;
  uint32_t last_timestamp = 0;
  double first_arrival = 0;
  double last_arrival = 0;
};

class StreamChecker {
 public:
  explicit StreamChecker(const CheckOptions& options);
  // The part checkers hold references into this object.
  StreamChecker(const StreamChecker&) = delete;
  StreamChecker& operator=(const StreamChecker&) = delete;

  // `framing`: bytes the transport adds before the packet (4 for '$' frames).
  void on_rtp(Bytes bytes, size_t framing, double arrival);
  void on_rtcp(Bytes bytes, double now_unix);
  void finish();

  Findings& findings() { return findings_; }
  const Findings& findings() const { return findings_; }
  const StreamStats& stats() const { return stats_; }
  const SequenceTracker& sequence() const { return sequence_; }
  const H264Checker& h264() const { return h264_; }
  const JpegChecker& jpeg() const { return jpeg_; }
  const SrChecker& sender_reports() const { return sr_; }

 private:
  void on_sender_report(Bytes part);

  CheckOptions options_;
  Findings findings_;
  StreamStats stats_;
  SequenceTracker sequence_;
  H264Checker h264_{findings_};
  JpegChecker jpeg_{findings_};
  SrChecker sr_;
  std::optional<uint32_t> report_ssrc_; // SSRC of a report that came before any RTP
  bool have_previous_ = false;
  uint32_t previous_timestamp_ = 0;
  bool previous_marker_ = false;
  size_t previous_payload_ = 0;
};

} // namespace probe
