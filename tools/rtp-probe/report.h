// The probe's output: a live one-line summary, and the final report as one
// JSON line followed by human-readable text.
#pragma once

#include <string>

#include "stream_checker.h"

namespace probe {

inline constexpr int kExitClean = 0;
inline constexpr int kExitViolations = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNothing = 3;

// What the receiving side adds to the checker's view.
struct RunInfo {
  std::string transport;   // "udp", "tcp" or "file"
  double seconds = 0;      // how long the probe listened
  std::string rtp_source;  // address:port the RTP came from, if known
  std::string rtcp_source;
  int ttl = -1; // TTL / hop limit of the last RTP datagram, -1 unknown
  int tos = -1; // TOS / traffic class of the last RTP datagram
  int rtp_channel = -1;
  int rtcp_channel = -1;
};

// 1 on any violation, else 3 when no RTP packet arrived, else 0.
int exit_status(const StreamChecker& checker);

std::string live_line(const StreamChecker& checker, double seconds);
std::string json_report(const StreamChecker& checker, const RunInfo& info);
std::string text_report(const StreamChecker& checker, const RunInfo& info);

} // namespace probe
