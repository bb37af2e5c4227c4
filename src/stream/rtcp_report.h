// The RTCP sender report: 28 bytes, or 32 with the interleave prefix.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <span>

inline constexpr int kSenderReportSize = 28;
inline constexpr int kInterleavedReportSize = 32;
inline constexpr uint8_t kRtcpSenderReport = 200;
inline constexpr uint32_t kNtpUnixOffset = 2208988800u; // 1900-01-01 to 1970-01-01

struct ntp_time {
  uint32_t seconds = 0;
  uint32_t fraction = 0;
};

// NTP form of a time of day. The fraction is computed in single precision,
// as receivers of this system's reports have always seen it.
ntp_time ntp_from_timeval(const timeval& tv);

struct sender_report {
  uint8_t version = 2;
  uint8_t padding = 0;
  uint8_t count = 0;
  uint8_t packet_type = kRtcpSenderReport;
  uint32_t ssrc = 0;
  ntp_time ntp;
  uint32_t rtp_timestamp = 0;
  uint32_t packet_count = 0;
  uint32_t octet_count = 0;
};

// Writes the report, with the '$' prefix and channel when channel >= 0.
// Returns the bytes written (28 or 32).
int write_sender_report(std::span<uint8_t, kInterleavedReportSize> out, const sender_report& report, int channel);
