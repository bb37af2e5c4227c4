// Sender-report checks: header fields, a plausible NTP time, and counts that
// agree with the RTP packets received.
//
// The sender counts packets and octets from the start of the stream and
// publishes them after each frame with that frame's RTP timestamp T, so the
// report's packet count P names the last packet sent before it: with
// sequence numbers counted from 0, packet P-1 has a timestamp at or before
// T and packet P one at or after T. Octets are compared as the difference
// to the previous verified report, summed over the packets in between, in
// any of three ways of counting a packet (as sent on the transport, the RTP
// packet alone, or its payload alone as RFC 3550 has it). A report whose
// packets have not all arrived yet waits for them, which is the tolerance
// for packets still in flight.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "findings.h"
#include "toolkit/rtp.h"

namespace probe {

enum class OctetBasis : int { framed, packet, payload, count_ };

struct SrCounts {
  uint64_t reports = 0;
  uint64_t packet_checked = 0; // reports whose packet count was verified
  uint64_t octet_checked = 0;  // reports whose octet count was verified
  int octet_basis = -1;        // OctetBasis of the last octet match, -1 none
};

class SrChecker {
 public:
  SrChecker(Findings& findings, bool check_clock);

  // Every RTP packet received once (duplicates excluded), in arrival order.
  void on_rtp(int64_t ext, uint32_t timestamp, size_t framed, size_t packet, size_t payload);
  // `now_unix`: the receiver's wall clock, for the NTP plausibility check.
  void on_report(const SenderReport& sr, double now_unix);
  // End of capture: judge the reports still waiting.
  void finish();

  const SrCounts& counts() const { return counts_; }

  // NTP seconds may differ from the receiver's clock by this much.
  static constexpr double kClockTolerance = 300.0;

 private:
  struct Entry {
    int64_t ext = -1;
    uint32_t timestamp = 0;
    uint32_t size[static_cast<int>(OctetBasis::count_)] = {};
  };
  static constexpr size_t kHistory = 1u << 16;
  static constexpr size_t kMaxPending = 64;

  const Entry* entry(int64_t ext) const;
  void settle_wraps(const SenderReport& sr);
  void evaluate(const SenderReport& sr, bool at_end);
  void check_octets(const SenderReport& sr, int64_t last);

  Findings& findings_;
  bool check_clock_;
  SrCounts counts_;
  std::vector<Entry> history_;
  bool have_rtp_ = false;
  int64_t first_ext_ = 0;
  int64_t max_ext_ = 0;
  bool wrap_known_ = false;
  int64_t wrap_adjust_ = 0; // added to P-1 to get our extended number
  std::deque<SenderReport> pending_;
  bool have_previous_ = false;
  SenderReport previous_;
  bool anchor_valid_ = false;
  int64_t anchor_ext_ = -1;
  uint32_t anchor_octets_ = 0;
  bool anchor_tried_ = false;
};

} // namespace probe
