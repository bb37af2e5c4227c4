// The probe's stream checks fed with crafted RTP packets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "helpers/probe_packets.h"
#include "stream_checker.h"

using namespace probe;

namespace {

constexpr uint32_t kSsrc = 0x11223344;

std::vector<uint8_t> rtp(uint8_t pt, uint16_t seq, uint32_t ts, bool marker, std::vector<uint8_t> payload,
                         uint32_t ssrc = kSsrc) {
  return probe_packets::rtp(pt, seq, ts, marker, payload, ssrc);
}

std::vector<uint8_t> bytes(std::vector<uint8_t> b, size_t filler = 0, uint8_t value = 0x55) {
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
  probe_packets::put(b, offset, 3);
  b.insert(b.end(), {1, q, 40, 30});
  b.insert(b.end(), qt.begin(), qt.end());
  b.insert(b.end(), data, 0x11);
  return b;
}

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
    wrap.send(512 * i, true, bytes({}, 512));
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

TEST(RtpProbeH264, DaemonStyleStreamIsClean) {
  Feed f(96);
  // Key frame: SPS and PPS each alone in a STAP-A, IDR in three fragments.
  f.send(0, true, bytes({0x78, 0x00, 0x05, 0x67, 1, 2, 3, 4}));
  f.send(0, true, bytes({0x78, 0x00, 0x03, 0x68, 1, 2}));
  f.send(0, false, bytes({0x7c, 0x85}, 1000));
  f.send(0, false, bytes({0x7c, 0x05}, 1000));
  f.send(0, true, bytes({0x7c, 0x45}, 10));
  // Next frames: a slice as a single NAL unit packet, then as FU-A.
  f.send(3000, true, bytes({0x41}, 200));
  f.send(6000, false, bytes({0x5c, 0x81}, 1000));
  f.send(6000, true, bytes({0x5c, 0x41}, 5));
  EXPECT_EQ(f.violations(), 0u) << f.checker.findings().records().front().text;
  EXPECT_EQ(f.checker.h264().counts().nal_units, 5u);
  EXPECT_EQ(f.checker.h264().counts().idr_units, 1u);
  EXPECT_EQ(f.checker.stats().frames, 3u);
}

TEST(RtpProbeH264, BrokenFragmentRunsAreCaughtOnce) {
  struct Packet {
    uint32_t ts;
    bool marker;
    std::vector<uint8_t> head;
    bool lost_before = false;
  };
  struct Case {
    const char* what;
    std::vector<Packet> packets;
    Finding finding;
    uint64_t violations;
  };
  const std::vector<Case> cases = {
      {"end fragment never came",
       {{0, false, {0x7c, 0x85}}, {0, false, {0x7c, 0x05}}, {3000, false, {0x5c, 0x81}}, {3000, true, {0x5c, 0x41}}},
       Finding::fu_missing_end, 1},
      {"single NAL unit cuts into an open unit", {{0, false, {0x7c, 0x85}}, {0, true, {0x06}}},
       Finding::fu_missing_end, 1},
      {"continuation without a start", {{0, true, {0x41}}, {3000, true, {0x5c, 0x41}}}, Finding::fu_no_start, 1},
      {"type and NRI differ from the start",
       {{0, false, {0x7c, 0x85}}, {0, false, {0x5c, 0x01}}, {0, true, {0x7c, 0x45}}}, Finding::fu_header_changed, 1},
      {"start and end in one fragment", {{0, true, {0x7c, 0xc5}}}, Finding::fu_start_and_end, 1},
      // The gap is the fault; the orphaned end fragment is not blamed again.
      {"continuation right after a loss", {{0, false, {0x7c, 0x85}}, {0, true, {0x7c, 0x45}, true}}, Finding::gap, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Feed f(96);
    for (const Packet& p : c.packets) {
      f.seq += p.lost_before;
      f.send(p.ts, p.marker, bytes(p.head, 100));
    }
    EXPECT_EQ(f.count(c.finding), 1u);
    EXPECT_EQ(f.violations(), c.violations);
  }
}

TEST(RtpProbeH264, MarkerRulesFollowTheNalUnits) {
  Feed f(96);
  f.send(0, true, bytes({0x7c, 0x85}, 100)); // marker on a start fragment
  f.send(0, false, bytes({0x7c, 0x45}, 100)); // end fragment without it
  f.send(3000, false, bytes({0x41}, 10));     // single NAL unit without it
  f.send(6000, false, bytes({0x78, 0x00, 0x02, 0x06, 0x01}));
  EXPECT_EQ(f.count(Finding::marker_mid_frame), 1u);
  EXPECT_EQ(f.count(Finding::missing_marker), 3u);
}

TEST(RtpProbeH264, StapAUnitSizesMustFillThePacketExactly) {
  Feed f(96);
  f.send(0, true, bytes({0x78, 0x00, 0x09, 0x67, 1, 2}));                   // claims 9, has 3
  f.send(0, true, bytes({0x78, 0x00, 0x02, 0x67, 1, 0x00}));                // one stray byte
  f.send(0, true, bytes({0x78, 0x00, 0x02, 0x67, 1, 0x00, 0x02, 0x68, 2})); // two units: fine
  f.send(0, true, bytes({0x78}));                                           // no unit at all
  f.send(0, true, bytes({0x7d}, 4));                                        // FU-B: not in mode 1
  EXPECT_EQ(f.count(Finding::stap_sizes), 3u);
  EXPECT_EQ(f.count(Finding::nal_type), 1u);
  EXPECT_EQ(f.checker.h264().counts().nal_units, 3u); // units before a fault still count
}

TEST(RtpProbeFrames, MarkerEndsFrameAndTimestampChangesOnlyAfterIt) {
  for (const int pt : {26, 120, 107}) {
    SCOPED_TRACE(pt);
    Feed mid(pt);
    auto body = [&](uint32_t offset) { return pt == 26 ? jpeg(offset, 50, 100) : bytes({0, 0, 1, 0xb6}, 96); };
    mid.send(0, true, body(0));
    mid.send(0, true, body(100)); // marker came one packet early
    mid.send(3000, true, body(0));
    EXPECT_EQ(mid.count(Finding::marker_mid_frame), 1u);
    EXPECT_EQ(mid.violations(), 1u);

    Feed missing(pt);
    missing.send(0, false, body(0));
    missing.send(3000, true, body(0)); // timestamp moved on without a marker
    EXPECT_EQ(missing.count(Finding::missing_marker), 1u);
  }
}

TEST(RtpProbeFrames, TimestampGoingBackIsCaughtAcrossTheWrap) {
  Feed f(120);
  f.send(0xfffff000u, true, bytes({0, 0, 1, 0xb6}));
  f.send(0x00000400u, true, bytes({0, 0, 1, 0xb6})); // wrapped forward: fine
  f.send(0xffffff00u, true, bytes({0, 0, 1, 0xb6})); // back
  EXPECT_EQ(f.count(Finding::timestamp_backwards), 1u);
  EXPECT_EQ(f.violations(), 1u);
}

TEST(RtpProbeFrames, CleanMpeg4AudioMetadataAndUncheckedStreamsPass) {
  Feed mpeg4(120);
  mpeg4.send(0, false, bytes({0, 0, 1, 0xb0}, 1456));
  mpeg4.send(0, true, bytes({}, 80));
  mpeg4.send(3000, true, bytes({0, 0, 1, 0xb6}, 500));
  EXPECT_EQ(mpeg4.checker.findings().violations() + mpeg4.checker.findings().warnings(), 0u);

  Feed audio(0);
  for (uint32_t i = 0; i < 5; ++i) {
    audio.send(512 * i, true, bytes({}, 512));
  }
  EXPECT_EQ(audio.violations(), 0u);
  audio.send(512 * 5 + 1, true, bytes({}, 512));
  EXPECT_EQ(audio.count(Finding::audio_timestamp_step), 1u);

  Feed metadata(107);
  metadata.send(45000, false, bytes({'<', '?'}, 1400));
  metadata.send(45000, true, bytes({'>'}));
  metadata.send(90000, true, bytes({'<'}, 10));
  EXPECT_EQ(metadata.violations(), 0u);

  Feed raw(96, false); // payload checks off: arbitrary bytes, as a raw test source sends them
  raw.send(0, false, bytes({0x00, 0x12}, 100)).send(0, true, bytes({0x33}, 10)).send(3000, true, bytes({0xff}, 10));
  EXPECT_EQ(raw.violations(), 0u);
  EXPECT_EQ(raw.checker.stats().frames, 2u);
}

TEST(RtpProbeJpeg, CleanPicturesInBothForms) {
  Feed f(26);
  f.send(0, false, jpeg(0, 50, 1452));
  f.send(0, true, jpeg(1452, 50, 300));
  // Q 255: tables in the first packet only.
  std::vector<uint8_t> qt = {0, 0, 0, 128};
  qt.insert(qt.end(), 128, 1);
  f.send(3600, false, jpeg(0, 255, 1000, qt));
  f.send(3600, true, jpeg(1000, 255, 10));
  EXPECT_EQ(f.violations(), 0u) << f.checker.findings().records().front().text;
  EXPECT_EQ(f.checker.jpeg().counts().pictures, 2u);
  EXPECT_EQ(f.checker.jpeg().counts().width, 320u);

  Feed whole(26); // without RFC 2435 headers every picture is a JPEG file
  whole.send(0, false, bytes({0xff, 0xd8}, 1458));
  whole.send(0, true, bytes({}, 20));
  whole.send(3600, true, bytes({0xff, 0xd8}, 20));
  EXPECT_EQ(whole.violations(), 0u);
  EXPECT_FALSE(whole.checker.jpeg().counts().rfc2435);
}

TEST(RtpProbeJpeg, OffsetsHeaderChangesMissingTablesAndFormSwitchesAreCaught) {
  Feed f(26);
  f.send(0, false, jpeg(0, 50, 1000));
  f.send(0, true, jpeg(1200, 50, 100)); // 200 bytes skipped
  f.send(3600, false, jpeg(8, 50, 100)); // picture not starting at 0
  f.send(3600, true, jpeg(108, 60, 100)); // Q changed inside the picture
  f.send(7200, false, jpeg(0, 255, 100, {0, 0, 0, 0})); // Q 255 without tables
  f.send(7200, true, jpeg(100, 255, 100));
  f.send(10800, true, jpeg(0, 0, 100)); // reserved Q
  f.send(14400, true, bytes({0xff, 0xd8}, 20)); // a whole JPEG file amid RFC 2435 pictures
  EXPECT_EQ(f.count(Finding::jpeg_offset), 2u);
  EXPECT_EQ(f.count(Finding::jpeg_form), 1u);
  EXPECT_EQ(f.count(Finding::jpeg_header_changed), 1u);
  EXPECT_EQ(f.count(Finding::jpeg_qt), 1u);
  EXPECT_EQ(f.count(Finding::jpeg_header), 1u);
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
