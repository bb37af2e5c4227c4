// The probe's sender-report accounting, '$' framing and final verdict.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "helpers/probe_packets.h"
#include "interleave.h"
#include "report.h"
#include "stream_checker.h"

using namespace probe;
using namespace probe_packets;

namespace {

constexpr uint32_t kSsrc = 0xcafe0001;
constexpr double kNow = 1.7e9; // receiver's wall clock in the tests
constexpr size_t kPayload = 100;
constexpr size_t kPacket = 12 + kPayload;

std::vector<uint8_t> mpeg4_packet(uint16_t seq, uint32_t ts) {
  std::vector<uint8_t> payload = {0, 0, 1, 0xb6}; // a VOP start code
  payload.resize(kPayload, 0x42);
  return rtp(120, seq, ts, true, payload, kSsrc);
}

std::vector<uint8_t> sender_report(uint32_t ts, uint32_t packets, uint32_t octets, uint32_t ssrc = kSsrc,
                                   uint32_t ntp_seconds = static_cast<uint32_t>(kNow) + kNtpUnixOffset) {
  std::vector<uint8_t> r = {0x80, 200, 0, 6};
  for (const uint32_t field : {ssrc, ntp_seconds, 0x80000000u, ts, packets, octets}) {
    put(r, field, 4);
  }
  return r;
}

// One packet per frame, 3000 ticks apart, as the daemon sends a small MPEG-4 stream.
struct Stream {
  explicit Stream(size_t framing = 0) : checker(CheckOptions{120, true, true}), framing(framing) {}
  void frames(uint16_t from, uint16_t to) {
    for (uint16_t seq = from; seq < to; ++seq) {
      checker.on_rtp(mpeg4_packet(seq, 3000u * seq), framing, seq * 0.033);
    }
  }
  // The report the sender publishes after frame `seq`.
  void report_after(uint16_t seq, uint32_t octets_per_packet) {
    checker.on_rtcp(sender_report(3000u * seq, seq + 1u, (seq + 1u) * octets_per_packet), kNow);
  }
  uint64_t count(Finding f) const { return checker.findings().count(f); }

  StreamChecker checker;
  size_t framing;
};

} // namespace

TEST(RtpProbeSenderReport, CountsMatchingTheStreamAreClean) {
  // Over TCP the sender counts the '$' prefix too; payload octets alone, as
  // RFC 3550 counts them, are accepted as well.
  for (const auto& [framing, octets] : {std::pair<size_t, size_t>{0, kPacket}, {4, kPacket + 4}, {4, kPayload}}) {
    SCOPED_TRACE(testing::Message() << "framing " << framing << ", octets " << octets);
    Stream s(framing);
    s.frames(0, 5);
    s.report_after(4, octets);
    s.frames(5, 10);
    s.report_after(9, octets);
    s.checker.finish();
    EXPECT_EQ(s.checker.findings().violations(), 0u);
    EXPECT_EQ(s.checker.sender_reports().counts().packet_checked, 2u);
    EXPECT_EQ(s.checker.sender_reports().counts().octet_checked, 2u);
    if (octets == kPacket + 4) {
      EXPECT_EQ(s.checker.sender_reports().counts().octet_basis, static_cast<int>(OctetBasis::framed));
    }
  }
}

TEST(RtpProbeSenderReport, WrongCountsAreCaught) {
  struct Case {
    const char* what;
    uint32_t ts, packets, octets;
    Finding finding;
  };
  for (const Case& c : {Case{"frame 9 reported with 7 packets", 27000, 7, 7 * kPacket, Finding::sr_packet_count},
                        Case{"frame 3 reported with 6 packets", 9000, 6, 6 * kPacket, Finding::sr_packet_count},
                        Case{"one octet too many", 27000, 10, 10 * kPacket + 1, Finding::sr_octet_count}}) {
    SCOPED_TRACE(c.what);
    Stream s;
    s.frames(0, 10);
    s.checker.on_rtcp(sender_report(c.ts, c.packets, c.octets), kNow);
    s.checker.finish();
    EXPECT_EQ(s.count(c.finding), 1u);
    EXPECT_EQ(s.checker.findings().violations(), 1u);
  }
}

TEST(RtpProbeSenderReport, ReportAheadOfItsPacketsWaitsForThem) {
  Stream s;
  s.frames(0, 5);
  s.report_after(7, kPacket); // packets 5..7 still in flight
  EXPECT_EQ(s.checker.findings().violations(), 0u);
  s.frames(5, 10);
  s.checker.finish();
  EXPECT_EQ(s.checker.findings().violations(), 0u);
  EXPECT_EQ(s.checker.sender_reports().counts().packet_checked, 1u);

  Stream first; // a report sent before the first packet is judged by what comes after it
  first.checker.on_rtcp(sender_report(0, 0, 0), kNow);
  first.checker.on_rtcp(sender_report(3000, 2, 2 * kPacket), kNow);
  first.frames(0, 5);
  first.checker.finish();
  EXPECT_EQ(first.checker.findings().violations() + first.checker.findings().warnings(), 0u);
  EXPECT_EQ(first.checker.sender_reports().counts().packet_checked, 2u);

  Stream never; // ...but packets that never come make the count wrong
  never.frames(0, 5);
  never.report_after(7, kPacket);
  never.checker.finish();
  EXPECT_EQ(never.count(Finding::sr_packet_count), 1u);
}

TEST(RtpProbeSenderReport, JoiningLateCalibratesOnTheFirstReport) {
  Stream s;
  s.frames(100, 110);
  s.report_after(104, kPacket); // octets before we joined are unknown: not judged
  s.checker.on_rtcp(sender_report(3000 * 109, 110, 110 * kPacket + 5), kNow);
  s.checker.finish();
  EXPECT_EQ(s.count(Finding::sr_octet_count), 1u);
  EXPECT_EQ(s.checker.sender_reports().counts().octet_checked, 1u);
}

TEST(RtpProbeSenderReport, HeaderFieldsAreChecked) {
  Stream s;
  s.frames(0, 3);
  s.checker.on_rtcp(sender_report(6000, 3, 3 * kPacket, 0x1234), kNow);               // foreign SSRC
  s.checker.on_rtcp(sender_report(6000, 3, 3 * kPacket, kSsrc, 0), kNow);             // NTP 0 (fraction too)
  s.checker.on_rtcp(sender_report(6000, 3, 3 * kPacket, kSsrc, 1000000000u), kNow);   // years off the clock
  auto long_report = sender_report(6000, 3, 3 * kPacket);
  long_report[3] = 7; // length says 32 bytes, 28 sent
  s.checker.on_rtcp(long_report, kNow);
  const std::vector<uint8_t> stub = {0x80, 200};
  s.checker.on_rtcp(stub, kNow);
  EXPECT_EQ(s.count(Finding::sr_ssrc), 1u);
  EXPECT_GE(s.count(Finding::sr_ntp), 2u);
  EXPECT_EQ(s.count(Finding::rtcp_malformed), 2u);

  Stream early; // a report before any RTP is compared when the RTP comes
  early.checker.on_rtcp(sender_report(0, 0, 0, 0x1234), kNow);
  early.frames(0, 2);
  EXPECT_EQ(early.count(Finding::sr_ssrc), 1u);
}

TEST(RtpProbeInterleave, FramesSurviveAnySplitAndGarbageIsSkippedOnce) {
  std::vector<uint8_t> stream;
  for (uint16_t seq = 0; seq < 3; ++seq) {
    const auto p = mpeg4_packet(seq, 0);
    stream.insert(stream.end(), {'$', 0, 0, static_cast<uint8_t>(p.size())});
    stream.insert(stream.end(), p.begin(), p.end());
  }
  const auto good = stream;
  for (const size_t piece : {1u, 3u, 7u, 1000u}) {
    Findings findings;
    std::vector<std::vector<uint8_t>> frames;
    InterleaveParser parser(findings, [&](uint8_t, Bytes f) { frames.emplace_back(f.begin(), f.end()); });
    for (size_t at = 0; at < good.size(); at += piece) {
      parser.feed(Bytes(good).subspan(at, std::min(piece, good.size() - at)));
    }
    parser.finish();
    ASSERT_EQ(frames.size(), 3u) << "piece " << piece;
    EXPECT_EQ(frames[2], mpeg4_packet(2, 0));
    EXPECT_EQ(findings.violations(), 0u);
  }

  std::vector<uint8_t> broken = {'x', 'y', 'z'};
  broken.insert(broken.end(), good.begin(), good.end());
  broken.insert(broken.end(), {'$', 0, 0, 50, 1, 2}); // cut short
  Findings findings;
  int frames = 0;
  InterleaveParser parser(findings, [&](uint8_t, Bytes) { ++frames; });
  parser.feed(broken);
  parser.finish();
  EXPECT_EQ(frames, 3);
  EXPECT_EQ(findings.count(Finding::interleave_framing), 2u);
}

TEST(RtpProbeInterleave, RtpAndRtcpKeepTheirOwnChannels) {
  Findings findings;
  ChannelCheck channels(findings);
  channels.on_frame(0, false);
  channels.on_frame(1, true);
  channels.on_frame(0, false);
  EXPECT_EQ(findings.violations(), 0u);
  channels.on_frame(2, false);
  EXPECT_EQ(findings.count(Finding::interleave_channel), 1u);

  Findings shared;
  ChannelCheck same(shared);
  same.on_frame(3, false);
  same.on_frame(3, true);
  EXPECT_EQ(shared.count(Finding::interleave_channel), 1u);
}

TEST(RtpProbeReport, ExitStatusAndJsonTellTheVerdict) {
  StreamChecker nothing(CheckOptions{});
  EXPECT_EQ(exit_status(nothing), kExitNothing);

  Stream clean;
  clean.frames(0, 3);
  EXPECT_EQ(exit_status(clean.checker), kExitClean);

  Stream gap;
  gap.frames(0, 2);
  gap.frames(3, 4);
  EXPECT_EQ(exit_status(gap.checker), kExitViolations);
  RunInfo info;
  info.transport = "udp";
  info.seconds = 1.0;
  const std::string json = json_report(gap.checker, info);
  EXPECT_NE(json.find("\"result\":\"violations\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"findings\":{\"gap\":1}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"lost\":1,"), std::string::npos) << json;
  EXPECT_EQ(json.find('\n'), std::string::npos);
  EXPECT_NE(text_report(gap.checker, info).find("violation gap: seq 3: 1 packet(s) missing"),
            std::string::npos);
}
