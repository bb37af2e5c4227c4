// The probe's checks fed with crafted packets: RTP headers, sequence and
// frames, the H.264 and JPEG payload formats, sender-report accounting, '$'
// framing and the final verdict.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "interleave.h"
#include "report.h"
#include "stream_checker.h"

using namespace probe;

namespace {

constexpr uint32_t kSsrc = 0xcafe0001;

// Appends `value` in network order, `bytes` wide.
void put(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

std::vector<uint8_t> rtp(uint8_t pt, uint16_t seq, uint32_t ts, bool marker, const std::vector<uint8_t>& payload,
                         uint32_t ssrc = kSsrc) {
  std::vector<uint8_t> p = {0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | pt)};
  put(p, seq, 2);
  put(p, ts, 4);
  put(p, ssrc, 4);
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

// The filler's first bit is set: after a slice's NAL header it starts a picture.
std::vector<uint8_t> bytes(std::vector<uint8_t> b, size_t filler = 0, uint8_t value = 0x95) {
  b.insert(b.end(), filler, value);
  return b;
}

// Feeds packets of one payload type in order; seq counts up from `seq`.
struct Feed {
  explicit Feed(int pt, bool payload_checks = true) : checker(CheckOptions{pt, payload_checks, false}), pt(pt) {}
  Feed& send(uint32_t ts, bool marker, std::vector<uint8_t> payload) {
    return raw(rtp(static_cast<uint8_t>(pt), seq++, ts, marker, std::move(payload)));
  }
  Feed& raw(const std::vector<uint8_t>& packet) {
    checker.on_rtp(packet, 0, 0.01 * static_cast<double>(checker.stats().rtp_packets));
    return *this;
  }
  uint64_t count(Finding f) const { return checker.findings().count(f); }
  uint64_t violations() const { return checker.findings().violations(); }

  StreamChecker checker;
  int pt;
  uint16_t seq = 0;
};

// JPEG main header: type-specific 0, offset, type 1, Q, 320x240.
std::vector<uint8_t> jpeg(uint32_t offset, uint8_t q, size_t data, std::vector<uint8_t> qt = {}) {
  std::vector<uint8_t> b = {0};
  put(b, offset, 3);
  b.insert(b.end(), {1, q, 40, 30});
  b.insert(b.end(), qt.begin(), qt.end());
  b.insert(b.end(), data, 0x11);
  return b;
}

// Type 65: the same with the restart marker header.
std::vector<uint8_t> jpeg_restart(uint32_t offset, uint16_t interval, uint16_t f_l_count, size_t data) {
  std::vector<uint8_t> b = {0};
  put(b, offset, 3);
  b.insert(b.end(), {65, 50, 40, 30});
  put(b, interval, 2);
  put(b, f_l_count, 2);
  b.insert(b.end(), data, 0x11);
  return b;
}


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

TEST(RtpProbeSequence, GapDuplicateLateArrivalAndWrapAreToldApart) {
  Feed f(120, false);
  for (const uint16_t seq : {10, 11, 14, 14, 12}) { // 12, 13 missing; 14 twice; 12 late
    f.raw(rtp(120, seq, seq, true, {1}));
  }
  EXPECT_EQ(f.count(Finding::gap), 1u);
  EXPECT_EQ(f.count(Finding::duplicate), 1u);
  EXPECT_EQ(f.count(Finding::reordered), 1u);
  EXPECT_EQ(f.checker.sequence().lost(), 1u); // 13 never came

  Feed wrap(0);
  wrap.seq = 65534;
  for (uint32_t i = 0; i < 4; ++i) {
    wrap.send(512 * i, i == 0, bytes({}, 512));
  }
  EXPECT_EQ(wrap.violations(), 0u);
  EXPECT_EQ(wrap.checker.sequence().max_ext(), 65534 + 3);
}

TEST(RtpProbeHeader, VersionPayloadTypeSsrcChangesAndShortPacketsAreCaught) {
  Feed f(96);
  auto bad_version = rtp(96, 0, 0, true, {0x65, 1});
  bad_version[0] = 0x40;
  f.raw(bad_version).raw(rtp(96, 1, 0, true, {0x67, 1})).raw(rtp(97, 2, 0, true, {0x67, 1}));
  f.raw(rtp(96, 3, 0, true, {0x67, 1}, 0xdeadbeef)).raw({0x80, 96, 0});
  for (const Finding x : {Finding::bad_version, Finding::payload_type, Finding::ssrc_changed, Finding::short_packet}) {
    EXPECT_EQ(f.count(x), 1u) << static_cast<int>(x);
  }
}

// Crafted streams of one payload type and what the probe must find in them:
// each listed finding that often; with `violations` set, nothing else.
TEST(RtpProbeStreams, EachFaultIsFoundAsOftenAsItHappens) {
  struct Sent {
    uint32_t ts;
    bool marker;
    std::vector<uint8_t> payload;
    bool lost_before = false; // a sequence number skipped before it
  };
  struct Row {
    const char* what;
    int pt;
    std::vector<Sent> packets;
    std::vector<std::pair<Finding, uint64_t>> found;
    int violations = -1;
  };
  const auto fu = [](uint8_t indicator, uint8_t header) { return bytes({indicator, header}, 100); };
  const auto vop = bytes({0, 0, 1, 0xb6}, 96);
  const std::vector<uint8_t> tables = bytes({0, 0, 0, 128}, 128, 1);
  const std::vector<Row> rows = {
      {"FU-A end fragment never came", 96,
       {{0, false, fu(0x7c, 0x85)}, {0, false, fu(0x7c, 0x05)}, {3000, false, fu(0x5c, 0x81)}, {3000, true, fu(0x5c, 0x41)}},
       {{Finding::fu_missing_end, 1}}, 1},
      {"single NAL unit cuts into an open FU-A unit", 96, {{0, false, fu(0x7c, 0x85)}, {0, true, bytes({0x06}, 100)}},
       {{Finding::fu_missing_end, 1}}, 1},
      {"FU-A continuation without a start", 96, {{0, true, bytes({0x41}, 100)}, {3000, true, fu(0x5c, 0x41)}},
       {{Finding::fu_no_start, 1}}, 1},
      {"FU-A type and NRI differ from the start", 96,
       {{0, false, fu(0x7c, 0x85)}, {0, false, fu(0x5c, 0x01)}, {0, true, fu(0x7c, 0x45)}},
       {{Finding::fu_header_changed, 1}}, 1},
      {"FU-A start and end in one fragment", 96, {{0, true, fu(0x7c, 0xc5)}}, {{Finding::fu_start_and_end, 1}}, 1},
      {"two pictures merged into one timestamp", 96, {{0, true, bytes({0x65}, 100)}, {0, true, bytes({0x41}, 100)}},
       {{Finding::h264_timestamp, 1}}, 1},
      {"the clock moved for a slice continuing the picture", 96,
       {{0, true, bytes({0x41}, 100)}, {3000, true, bytes({0x41, 0x08}, 100)}}, {{Finding::h264_timestamp, 1}}, 1},
      {"H.264 clean: a picture of two slices, one timestamp, the marker on the last", 96,
       {{0, false, bytes({0x41}, 20)}, {0, true, bytes({0x41, 0x08}, 20)}, {3000, true, bytes({0x41}, 20)}}, {}, 0},
      // The gap is the fault; the orphaned end fragment is not blamed again.
      {"FU-A continuation right after a loss", 96, {{0, false, fu(0x7c, 0x85)}, {0, true, fu(0x7c, 0x45), true}},
       {{Finding::gap, 1}}, 1},
      {"H.264 marker on a start fragment, missing on an end fragment, a single unit and a STAP-A", 96,
       {{0, true, fu(0x7c, 0x85)}, {0, false, fu(0x7c, 0x45)}, {3000, false, bytes({0x41}, 10)},
        {6000, false, bytes({0x78, 0x00, 0x02, 0x06, 0x01})}},
       {{Finding::marker_mid_frame, 1}, {Finding::missing_marker, 3}}},
      {"STAP-A sizes that do not fill the packet; FU-B", 96,
       {{0, true, bytes({0x78, 0x00, 0x09, 0x67, 1, 2})},                    // claims 9, has 3
        {0, true, bytes({0x78, 0x00, 0x02, 0x67, 1, 0x00})},                 // one stray byte
        {0, true, bytes({0x78, 0x00, 0x02, 0x67, 1, 0x00, 0x02, 0x68, 2})},  // two units: fine
        {0, true, bytes({0x78})},                                            // no unit at all
        {0, true, bytes({0x7d}, 4)}},                                        // not in mode 1
       {{Finding::stap_sizes, 3}, {Finding::nal_type, 1}}},
      {"MPEG-4 marker one packet early", 120, {{0, true, vop}, {0, true, vop}, {3000, true, vop}},
       {{Finding::marker_mid_frame, 1}}, 1},
      {"MPEG-4 timestamp moved on without a marker", 120, {{0, false, vop}, {3000, true, vop}},
       {{Finding::missing_marker, 1}}},
      {"metadata marker one packet early", 107, {{0, true, vop}, {0, true, vop}, {3000, true, vop}},
       {{Finding::marker_mid_frame, 1}}, 1},
      {"metadata timestamp moved on without a marker", 107, {{0, false, vop}, {3000, true, vop}},
       {{Finding::missing_marker, 1}}},
      {"JPEG marker one packet early", 26, {{0, true, jpeg(0, 50, 100)}, {0, true, jpeg(100, 50, 100)}, {3000, true, jpeg(0, 50, 100)}},
       {{Finding::marker_mid_frame, 1}}, 1},
      {"JPEG timestamp moved on without a marker", 26, {{0, false, jpeg(0, 50, 100)}, {3000, true, jpeg(0, 50, 100)}},
       {{Finding::missing_marker, 1}}},
      {"timestamp going back, across the wrap", 120,
       {{0xfffff000u, true, vop}, {0x00000400u, true, vop}, {0xffffff00u, true, vop}},
       {{Finding::timestamp_backwards, 1}}, 1},
      {"JPEG offsets, header changes, missing tables and form switches", 26,
       {{0, false, jpeg(0, 50, 1000)}, {0, true, jpeg(1200, 50, 100)},          // 200 bytes skipped
        {3600, false, jpeg(8, 50, 100)}, {3600, true, jpeg(108, 60, 100)},      // not at 0; Q changed inside
        {7200, false, jpeg(0, 255, 100, {0, 0, 0, 0})}, {7200, true, jpeg(100, 255, 100)}, // Q 255 without tables
        {10800, true, jpeg(0, 0, 100)}, {11000, true, jpeg(0, 100, 100)},       // reserved Q
        {11200, false, bytes(jpeg(0, 50, 10), 1, 0xff)}, {11200, true, bytes(jpeg(11, 50, 0), 1, 0xd3)}, // RST, no header
        {11400, true, jpeg_restart(0, 0, 0xFFFF, 10)},                          // restart interval 0
        {11600, true, jpeg_restart(0, 40, 0xC005, 10)},                         // F and L with a count
        {14400, true, bytes({0xff, 0xd8}, 20)}},                                // a whole file amid RFC 2435
       {{Finding::jpeg_offset, 2}, {Finding::jpeg_form, 1}, {Finding::jpeg_header_changed, 1}, {Finding::jpeg_qt, 1},
        {Finding::jpeg_header, 5}}},
      {"JPEG clean in both Q forms", 26,
       {{0, false, jpeg(0, 50, 1452)}, {0, true, jpeg(1452, 50, 300)}, {3600, false, jpeg(0, 255, 1000, tables)},
        {3600, true, jpeg(1000, 255, 10)},
        {7200, false, jpeg_restart(0, 40, 0xFFFF, 1000)}, {7200, true, jpeg_restart(1000, 40, 0xFFFF, 10)}},
       {}, 0},
      {"JPEG clean as whole files", 26,
       {{0, false, bytes({0xff, 0xd8}, 1458)}, {0, true, bytes({}, 20)}, {3600, true, bytes({0xff, 0xd8}, 20)}}, {}, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Feed f(r.pt);
    for (const Sent& p : r.packets) {
      f.seq += p.lost_before;
      f.send(p.ts, p.marker, p.payload);
    }
    for (const auto& [finding, count] : r.found) EXPECT_EQ(f.count(finding), count) << static_cast<int>(finding);
    if (r.violations >= 0) {
      EXPECT_EQ(f.violations(), static_cast<uint64_t>(r.violations))
          << (f.checker.findings().records().empty() ? "" : f.checker.findings().records().front().text);
    }
  }
  // What the report counts of a JPEG stream.
  Feed counted(26);
  counted.send(0, false, jpeg(0, 50, 1452)).send(0, true, jpeg(1452, 50, 300)).send(3600, true, jpeg(0, 50, 10));
  EXPECT_EQ(counted.checker.jpeg().counts().pictures, 2u);
  EXPECT_EQ(counted.checker.jpeg().counts().width, 320u);
  EXPECT_TRUE(counted.checker.jpeg().counts().rfc2435);
}

TEST(RtpProbeFrames, AudioStepsByItsUnitAndUncheckedPayloadsPass) {
  Feed audio(0);
  for (uint32_t i = 0; i < 5; ++i) {
    audio.send(512 * i, i == 0, bytes({}, 512)); // the marker starts the talkspurt only
  }
  EXPECT_EQ(audio.violations(), 0u);
  audio.send(512 * 5 + 1, true, bytes({}, 512));
  EXPECT_EQ(audio.count(Finding::audio_timestamp_step), 1u);
  audio.send(512 * 6 + 1, true, bytes({}, 512)); // marked amid the talkspurt
  EXPECT_EQ(audio.count(Finding::audio_marker), 1u);

  Feed raw(96, false); // payload checks off: arbitrary bytes, as a raw test source sends them
  raw.send(0, false, bytes({0x00, 0x12}, 100)).send(0, true, bytes({0x33}, 10)).send(3000, true, bytes({0xff}, 10));
  EXPECT_EQ(raw.violations(), 0u);
  EXPECT_EQ(raw.checker.stats().frames, 2u);
}

TEST(RtpProbeRobustness, RandomAndMutatedPacketsAreJudgedWithoutReadingPastThem) {
  // Under the sanitizer builds this catches any read beyond a packet.
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  for (const int pt : {96, 26, 120, 0, 107}) {
    StreamChecker checker(CheckOptions{pt, true, false});
    for (int i = 0; i < 3000; ++i) {
      std::vector<uint8_t> packet(next() % 40);
      std::generate(packet.begin(), packet.end(), [&] { return static_cast<uint8_t>(next()); });
      if (i % 2 == 0 && packet.size() >= 2) { // mostly valid headers, so the payload checks run
        packet[0] = static_cast<uint8_t>(0x80 | (packet[0] & 0x3f));
        packet[1] = static_cast<uint8_t>((packet[1] & 0x80) | pt);
      }
      if (i % 3 == 0) {
        checker.on_rtcp(packet, 0);
      } else {
        checker.on_rtp(packet, 0, i * 0.001);
      }
    }
    checker.finish();
    EXPECT_GT(checker.findings().violations(), 0u);
  }
}

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
