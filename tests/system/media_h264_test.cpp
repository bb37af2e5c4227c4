// H.264 streams from the frame store to FFmpeg on the receiving host: every
// fed frame decoded, the fed NAL units rebuilt byte for byte, over IPv4,
// IPv6, multicast and interleaved TCP; the H.264 switches, SD playback, and
// a reader that falls behind.
#include <gtest/gtest.h>

#include <set>

#include "harness/harness.h"
#include "media_peers.h"
#include "media_rtp.h"

namespace {

using namespace media_sys;
using harness::kPeerIpv4;
using harness::kPeerIpv6;

constexpr char kUnicastPidFile[] = "/var/run/avtd_1.pid";
const std::string kH264Sdp = sdp_for("video", 96, {"rtpmap:96 H264/90000", "fmtp:96 packetization-mode=1"});

struct stream_result {
  std::vector<std::string> decoded;
  std::vector<rtp_packet> packets;
  harness::ExitStatus status;
};

class H264Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    clip_ = clip("h264.264");
    units_ = annexb_units(read_bytes(clip_));
    ASSERT_GT(units_.size(), 360u);
    sessiond_ = start_sessiond();
  }

  // Prefeeds two frames (the daemon then waits at a non-key block), starts
  // the daemon and lets it look for a key frame in vain once, feeds the whole clip at twice its rate with its own rate
  // code, and collects what arrived once the stream has gone quiet.
  stream_result run(rtp_relay& relay, ffmpeg_decoder* decoder, const std::vector<std::string>& daemon,
                    const std::string& pid_file, std::vector<std::string> feed = {"--fps", "60", "--rate-code", "30"}) {
    stream_result r;
    prefeed("h264", clip_, 2);
    const pid_t pid = start_daemon(daemon, pid_file);
    EXPECT_TRUE(wait_reader_waiting("vx_h264_rtp")) << harness::syslog_dump();
    // The store stays live after the feed, so the daemon runs until stopped.
    feed.push_back("--keep");
    auto feeder = start_feeder("h264", clip_, feed);
    EXPECT_EQ(feeder.wait(60s).code(), 0) << feeder.err();
    EXPECT_TRUE(relay.wait_quiet(700ms, 20s)) << harness::syslog_dump();
    if (decoder) r.decoded = decoder->stop();
    r.status = stop_daemon(pid);
    relay.stop();
    r.packets = relay.packets();
    return r;
  }

  // The whole clip decoded, from its first frame, nothing lost or damaged.
  void expect_every_frame_decoded(const std::vector<std::string>& decoded) {
    static const auto source = source_hashes(clip_);
    ASSERT_GE(decoded.size(), 300u) << "frames decoded";
    const auto start = contiguous_run(decoded, source);
    ASSERT_TRUE(start.has_value()) << "decoded frames are not one unbroken run of the clip's";
    EXPECT_EQ(*start, 0u);
  }

  std::vector<h264_nal> rebuilt(const std::vector<rtp_packet>& packets) {
    std::string error;
    auto nals = depacketize_h264(packets, &error);
    EXPECT_EQ(error, "");
    return nals;
  }

  static std::vector<bytes> units_of(const std::vector<h264_nal>& nals) {
    std::vector<bytes> out;
    for (const auto& n : nals) out.push_back(n.unit);
    return out;
  }

  std::string clip_;
  std::vector<bytes> units_;
  harness::Process sessiond_;
};

TEST_F(H264Stream, Ipv4UnicastDeliversEveryFedUnitAndDecodesFrameForFrame) {
  ffmpeg_decoder decoder(kH264Sdp);
  ASSERT_TRUE(decoder.ready()) << decoder.errors();
  rtp_relay relay(udp_receiver(kPeerIpv4));
  const auto r = run(relay, &decoder, daemon_args("h264", kPeerIpv4), kUnicastPidFile);
  EXPECT_EQ(r.status.code(), 0) << r.status;
  EXPECT_EQ(relay.malformed(), 0);
  expect_every_frame_decoded(r.decoded);

  const auto nals = rebuilt(r.packets);
  ASSERT_EQ(units_of(nals), units_) << "rebuilt NAL units differ from the fed blocks";
  // Parameter sets and SEI go as STAP-A, slices as FU-A; the frame clock steps
  // 3000 at every SPS and every non-key slice, so each frame has its own.
  uint32_t expected = 3000;
  for (size_t i = 0; i < nals.size(); ++i) {
    const int type = nal_type(nals[i].unit);
    if (i > 0 && (type == 7 || type == 1)) expected += 3000;
    ASSERT_EQ(nals[i].timestamp, expected) << "unit " << i << " type " << type;
    EXPECT_EQ(nals[i].stap, type == 6 || type == 7 || type == 8) << "unit " << i;
  }
  for (const auto& p : r.packets) EXPECT_EQ(p.payload_type, 96);
}

TEST_F(H264Stream, Ipv6UnicastDecodesFrameForFrame) {
  ffmpeg_decoder decoder(kH264Sdp);
  ASSERT_TRUE(decoder.ready()) << decoder.errors();
  rtp_relay relay(udp_receiver(kPeerIpv6));
  const auto r = run(relay, &decoder, daemon_args("h264", kPeerIpv6), kUnicastPidFile);
  EXPECT_EQ(r.status.code(), 0) << r.status;
  expect_every_frame_decoded(r.decoded);
  EXPECT_EQ(units_of(rebuilt(r.packets)), units_);
}

TEST_F(H264Stream, MulticastGroupDecodesFrameForFrame) {
  ffmpeg_decoder decoder(kH264Sdp);
  ASSERT_TRUE(decoder.ready()) << decoder.errors();
  rtp_relay relay(udp_receiver("239.1.2.3"));
  const auto r = run(relay, &decoder, daemon_args("h264", "239.1.2.3"), "/var/run/avtd_channel0.pid");
  EXPECT_EQ(r.status.code(), 0) << r.status;
  expect_every_frame_decoded(r.decoded);
  EXPECT_EQ(units_of(rebuilt(r.packets)), units_);
}

TEST_F(H264Stream, InterleavedTcpDecodesFrameForFrame) {
  ffmpeg_decoder decoder(kH264Sdp);
  ASSERT_TRUE(decoder.ready()) << decoder.errors();
  harness::TcpListener listener(kPeerIpv4, 7000);
  harness::Process handoff({harness::bin("tcp-handoff"), "--session", "9", "--connect", std::string(kPeerIpv4) + ":7000"});
  harness::Fd connection = listener.accept(5s);
  ASSERT_TRUE(connection) << handoff.err();
  ASSERT_TRUE(harness::wait_for_file("/tmp/rtp_over_http_sock_9")) << handoff.err();
  rtp_relay relay(std::move(connection), true);
  auto args = daemon_args("h264", kPeerIpv4, {"--protocol=rtp_tcp", "--interleaved=0-1", "--session_id=9"});
  const auto r = run(relay, &decoder, args, "/var/run/avtd_9.pid");
  EXPECT_EQ(r.status.code(), 0) << r.status;
  EXPECT_EQ(relay.malformed(), 0) << "the '$' framing fell out of step";
  expect_every_frame_decoded(r.decoded);
  EXPECT_EQ(units_of(rebuilt(r.packets)), units_);
}

TEST_F(H264Stream, DisableStapSendsParameterSetsAsSingleNalPackets) {
  rtp_relay relay(udp_receiver(kPeerIpv4), false);
  const auto r = run(relay, nullptr, daemon_args("h264", kPeerIpv4, {"--disable-stap"}), kUnicastPidFile,
                     {"--fps", "60", "--frames", "65"});
  EXPECT_EQ(r.status.code(), 0) << r.status;
  const auto nals = rebuilt(r.packets);
  ASSERT_FALSE(nals.empty());
  const std::vector<bytes> expected(units_.begin(), units_.begin() + static_cast<long>(nals.size()));
  EXPECT_EQ(units_of(nals), expected);
  int parameter_sets = 0;
  for (const auto& n : nals) {
    EXPECT_FALSE(n.stap);
    const int type = nal_type(n.unit);
    if (type == 7 || type == 8) {
      ++parameter_sets;
      EXPECT_TRUE(n.single);
    }
  }
  EXPECT_GE(parameter_sets, 6); // three key frames' SPS and PPS
}

TEST_F(H264Stream, DisableH264userLeavesOutTheSeiUnits) {
  std::vector<bytes> without_sei;
  for (const auto& u : units_) {
    if (nal_type(u) != 6) without_sei.push_back(u);
  }
  ASSERT_LT(without_sei.size(), units_.size()) << "the clip carries no SEI to leave out";
  rtp_relay relay(udp_receiver(kPeerIpv4), false);
  const auto r = run(relay, nullptr, daemon_args("h264", kPeerIpv4, {"--disable-h264user"}), kUnicastPidFile,
                     {"--fps", "60", "--frames", "65"});
  EXPECT_EQ(r.status.code(), 0) << r.status;
  const auto nals = rebuilt(r.packets);
  ASSERT_FALSE(nals.empty());
  const std::vector<bytes> expected(without_sei.begin(), without_sei.begin() + static_cast<long>(nals.size()));
  EXPECT_EQ(units_of(nals), expected);
}

TEST_F(H264Stream, SdPlaybackSendsFromTheFirstBlockWithTheBlocksTimestamps) {
  ffmpeg_decoder decoder(kH264Sdp);
  ASSERT_TRUE(decoder.ready()) << decoder.errors();
  rtp_relay relay(udp_receiver(kPeerIpv4));
  auto feeder = start_feeder("h264", clip_, {"--playback", "--fps", "60", "--frames", "120", "--keep"});
  ASSERT_TRUE(harness::wait_for_file("/tmp/shm9")) << feeder.err();
  const pid_t pid = start_daemon(daemon_args("h264", kPeerIpv4, {"--enable-sdplay"}), kUnicastPidFile);
  EXPECT_EQ(feeder.wait(60s).code(), 0) << feeder.err();
  EXPECT_TRUE(relay.wait_quiet(700ms, 20s)) << harness::syslog_dump();
  const auto decoded = decoder.stop();
  EXPECT_EQ(stop_daemon(pid).code(), 0);
  relay.stop();
  EXPECT_TRUE(harness::wait_syslog("SDPLAY ON: shm_attach(/tmp/shm9)", 1s));

  const auto nals = rebuilt(relay.packets());
  ASSERT_GE(nals.size(), 120u);
  const std::vector<bytes> expected(units_.begin(), units_.begin() + static_cast<long>(nals.size()));
  EXPECT_EQ(units_of(nals), expected);
  // Frame n of the playback carries the feeder's time stamp n * 90000 / 60.
  int frame = -1;
  for (size_t i = 0; i < nals.size(); ++i) {
    const int type = nal_type(nals[i].unit);
    if (type == 7 || type == 1) ++frame;
    ASSERT_EQ(nals[i].timestamp, static_cast<uint32_t>(frame * 1500)) << "unit " << i;
  }
  const auto source = source_hashes(clip_);
  EXPECT_EQ(contiguous_run(decoded, source), std::optional<size_t>(0));
  EXPECT_GE(decoded.size(), 110u);
}

TEST_F(H264Stream, ReaderThatFellBehindResumesAtAKeyFrame) {
  ffmpeg_decoder decoder(kH264Sdp);
  ASSERT_TRUE(decoder.ready()) << decoder.errors();
  rtp_relay relay(udp_receiver(kPeerIpv4));
  auto feeder = start_feeder("h264", clip_, {"--fps", "60", "--rate-code", "30", "--loop", "--blocks", "16"});
  ASSERT_TRUE(harness::wait_for_file("/tmp/shm0")) << feeder.err();
  const pid_t pid = start_daemon(daemon_args("h264", kPeerIpv4), kUnicastPidFile);
  ASSERT_TRUE(relay.wait_quiet(0ms, 10s));
  std::this_thread::sleep_for(1s);
  // The reader stands still while the producer laps its ring.
  kill(pid, SIGSTOP);
  std::this_thread::sleep_for(1500ms);
  kill(pid, SIGCONT);
  const auto delay = harness::wait_syslog_regex(
      R"(^vx_h264_rtp : \d+ : read delay \[rp=\d+, wp=\d+, roffset=\d+, woffset=\d+\]$)", 5s);
  ASSERT_TRUE(delay.has_value()) << harness::syslog_dump();
  const size_t before = relay.count();
  std::this_thread::sleep_for(2s);
  EXPECT_GT(relay.count(), before + 30) << "the stream did not go on";
  const auto decoded = decoder.stop();
  EXPECT_EQ(stop_daemon(pid).code(), 0);
  feeder.signal(SIGTERM);
  feeder.wait(5s);

  // Whatever was decoded is a clean frame of the clip: the new start was a key frame.
  const auto source = source_hashes(clip_);
  const std::set<std::string> known(source.begin(), source.end());
  ASSERT_GT(decoded.size(), 60u);
  for (size_t i = 0; i < decoded.size(); ++i) EXPECT_TRUE(known.count(decoded[i])) << "frame " << i << " damaged";
}

}  // namespace
