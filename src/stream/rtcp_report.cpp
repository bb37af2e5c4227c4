#include "stream/rtcp_report.h"

#include "stream/rtp_header.h"

ntp_time ntp_from_timeval(const timeval& tv) {
  constexpr float kFractionPerMicrosecond = 4294.96728515625f; // 2^32 / 10^6 in single precision
  ntp_time t;
  t.seconds = static_cast<uint32_t>(tv.tv_sec) + kNtpUnixOffset;
  t.fraction = static_cast<uint32_t>(static_cast<float>(tv.tv_usec) * kFractionPerMicrosecond);
  return t;
}

int write_sender_report(std::span<uint8_t, kInterleavedReportSize> out, const sender_report& report, int channel) {
  int at = 0;
  if (channel >= 0) {
    write_interleave_prefix(out.first<kInterleavePrefixSize>(), channel, kSenderReportSize);
    at = kInterleavePrefixSize;
  }
  uint8_t* p = out.data() + at;
  p[0] = static_cast<uint8_t>(((report.version & 0x03) << 6) | ((report.padding & 0x01) << 5) | (report.count & 0x1F));
  p[1] = report.packet_type;
  put_be16(p + 2, kSenderReportSize / 4 - 1);
  put_be32(p + 4, report.ssrc);
  put_be32(p + 8, report.ntp.seconds);
  put_be32(p + 12, report.ntp.fraction);
  put_be32(p + 16, report.rtp_timestamp);
  put_be32(p + 20, report.packet_count);
  put_be32(p + 24, report.octet_count);
  return at + kSenderReportSize;
}
