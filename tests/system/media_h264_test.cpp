// H.264 streams from the frame store to FFmpeg on the receiving host: every
// fed frame decoded, the fed NAL units rebuilt byte for byte, over IPv4,
// IPv6 (without a fragment, at MTU 1500 and 1280), multicast and interleaved
// TCP; the H.264 switches, SD playback, and a reader that falls behind.
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "daemon_runs.h"
#include "harness/harness.h"
#include "media_peers.h"
#include "media_rtp.h"

namespace {

using namespace media_sys;
using harness::kPeerIpv4;

const std::string kH264Sdp = sdp_for("video", 96, {"rtpmap:96 H264/90000", "fmtp:96 packetization-mode=1"});

class H264Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    units_ = annexb_units(read_bytes(clip_));
    ASSERT_GT(units_.size(), 360u);
  }

  // The whole clip at twice its rate, with its own rate code, from a reader
  // that waits at a non-key block.
  stream_spec whole_clip(std::vector<std::string> daemon) {
    return {.codec = "h264", .clip = clip_, .daemon = std::move(daemon), .feed = {"--fps", "60", "--rate-code", "30"},
            .prefeed = 2, .sdp = kH264Sdp};
  }

  // The first 65 frames with a switch of the daemon's, not decoded.
  std::vector<h264_nal> short_run(const std::string& option) {
    rtp_relay relay(udp_receiver(kPeerIpv4));
    return rebuilt(run_stream({.codec = "h264", .clip = clip_, .daemon = daemon_args("h264", kPeerIpv4, {option}),
                               .feed = {"--fps", "60", "--frames", "65"}, .prefeed = 2},
                              relay)
                       .packets);
  }

  static std::vector<h264_nal> rebuilt(const std::vector<rtp_packet>& packets) {
    std::string error;
    auto nals = depacketize_h264(packets, &error);
    EXPECT_EQ(error, "");
    EXPECT_FALSE(nals.empty());
    return nals;
  }


  // The first `n` units of `from`.
  static std::vector<bytes> first(const std::vector<bytes>& from, size_t n) {
    return {from.begin(), from.begin() + static_cast<long>(std::min(n, from.size()))};
  }

  const std::string clip_ = clip("h264.264");
  std::vector<bytes> units_;
};

struct transport {
  const char* name;
  std::string host;
  std::vector<std::string> options;
  int mtu = harness::kDefaultMtu;
  std::string clip = "h264.264";
  bool headers_once = false; // the feeder stores the parameter sets at the start only; GStreamer decodes too
};

// IPv6 frames as the receiving host's eth0 takes them, below its IP stack
// (which would hide fragments by reassembling them).
class ipv6_frames {
 public:
  struct seen {
    size_t to_port = 0;
    size_t fragments = 0;
    size_t largest = 0;
  };

  ipv6_frames() : sock_(harness::peer_socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IPV6))) {
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_IPV6);
    harness::in_peer([&] { link.sll_ifindex = static_cast<int>(if_nametoindex("eth0")); });
    if (bind(sock_.get(), reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) throw std::runtime_error("bind");
    const int size = 64 << 20; // the whole stream waits here until it is looked at
    setsockopt(sock_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  }

  // What arrived so far: UDP frames to `port` and their largest size, and fragments of anything.
  seen take(uint16_t port) {
    constexpr uint8_t kFragmentHeader = 44;
    seen s;
    uint8_t head[48]; // IPv6 header and the UDP ports
    for (int i = 0; i < 1000000; ++i) {
      const ssize_t n = recv(sock_.get(), head, sizeof head, MSG_TRUNC | MSG_DONTWAIT);
      if (n < 0) break;
      if (n < 44) continue;
      if (head[6] == kFragmentHeader) ++s.fragments;
      if (head[6] != IPPROTO_UDP || (head[42] << 8 | head[43]) != port) continue;
      ++s.to_port;
      s.largest = std::max(s.largest, static_cast<size_t>(n));
    }
    return s;
  }

 private:
  harness::Fd sock_;
};

// UDP sends of this host over IPv6: a burst of packets counts once.
long udp6_sends() {
  std::ifstream snmp("/proc/net/snmp6");
  std::string key;
  long value = 0;
  while (snmp >> key >> value) {
    if (key == "Udp6OutDatagrams") return value;
  }
  return -1;
}

class H264Transport : public H264Stream, public ::testing::WithParamInterface<transport> {};

TEST_P(H264Transport, DeliversEveryFedUnitAndDecodesFrameForFrame) {
  const auto& t = GetParam();
  std::unique_ptr<rtp_relay> relay;
  std::optional<harness::TcpListener> listener;
  harness::Process handoff;
  if (t.options.empty() || t.options[0] != "--protocol=rtp_tcp") {
    relay = std::make_unique<rtp_relay>(udp_receiver(t.host));
  } else {
    listener.emplace(kPeerIpv4, 7000);
    handoff = harness::Process({harness::bin("tcp-handoff"), "--session", "9", "--connect", std::string(kPeerIpv4) + ":7000"});
    harness::Fd connection = listener->accept(5s);
    ASSERT_TRUE(connection) << handoff.err();
    ASSERT_TRUE(harness::wait_for_file("/tmp/rtp_over_http_sock_9")) << handoff.err();
    relay = std::make_unique<rtp_relay>(std::move(connection));
  }
  ASSERT_TRUE(harness::set_mtu(t.mtu));
  const bool ipv6 = t.host.find(':') != std::string::npos;
  std::optional<ipv6_frames> frames;
  if (ipv6) frames.emplace();
  const long sends_before = udp6_sends();
  auto planned = whole_clip(daemon_args("h264", t.host, t.options));
  planned.clip = clip(t.clip);
  if (t.headers_once) {
    planned.feed.push_back("--headers-once");
    planned.gst_caps = "encoding-name=H264,payload=96";
    planned.gst_depayloader = "rtph264depay";
  }
  const auto r = run_stream(planned, *relay);
  expect_decoded_run(r.decoded, source_hashes(planned.clip), 300, true);
  if (t.headers_once) expect_decoded_run(r.gst_decoded, gst_source_hashes(planned.clip), 300, true);
  if (ipv6) {
    const ipv6_frames::seen seen = frames->take(kStreamPort);
    EXPECT_EQ(seen.fragments, 0u);
    EXPECT_EQ(seen.to_port, r.packets.size());
    EXPECT_LE(seen.largest, static_cast<size_t>(t.mtu));
    // The burst send goes on: a call per unit (and a few reports), not one per packet.
    const auto units = static_cast<long>(std::count_if(r.packets.begin(), r.packets.end(),
                                                       [](const rtp_packet& p) { return p.marker; }));
    EXPECT_LT(units + 100, static_cast<long>(r.packets.size())) << "too few fragmented units to tell";
    EXPECT_LE(udp6_sends() - sends_before, units + 10);
  }

  std::vector<bytes> fed = annexb_units(read_bytes(planned.clip));
  if (t.headers_once) { // the clip's parameter sets never change: the first of each stays
    std::set<int> seen;
    std::erase_if(fed, [&](const bytes& u) { return (nal_type(u) == 7 || nal_type(u) == 8) && !seen.insert(nal_type(u)).second; });
  }
  const auto nals = rebuilt(r.packets);
  ASSERT_EQ(units_of(nals), fed) << "rebuilt NAL units differ from the fed blocks";
  // Parameter sets and SEI go as STAP-A, slices alone or as FU-A. The clock
  // steps 3000 once per picture: at an SPS, or at a picture's first slice
  // (first bit after the NAL header set) that no SPS opened.
  uint32_t expected = 3000;
  bool sps_stepped = false;
  for (size_t i = 0; i < nals.size(); ++i) {
    const bytes& unit = nals[i].unit;
    const int type = nal_type(unit);
    const bool first_slice = (type == 1 || type == 5) && unit.size() > 5 && (unit[5] & 0x80) != 0;
    if (i > 0 && (type == 7 || (first_slice && !sps_stepped))) expected += 3000;
    if (type == 7 || first_slice) sps_stepped = type == 7;
    ASSERT_EQ(nals[i].timestamp, expected) << "unit " << i << " type " << type;
    ASSERT_EQ(nals[i].stap, type == 6 || type == 7 || type == 8) << "unit " << i;
  }
  for (const auto& p : r.packets) ASSERT_EQ(p.payload_type, 96);
}

INSTANTIATE_TEST_SUITE_P(
    Over, H264Transport,
    ::testing::Values(transport{"Ipv4Unicast", kPeerIpv4, {}}, transport{"Ipv6Unicast", harness::kPeerIpv6, {}},
                      transport{"Ipv6UnicastMtu1280", harness::kPeerIpv6, {}, 1280},
                      transport{"Ipv6Multicast", "ff15::1:2", {}}, transport{"Ipv6MulticastMtu1280", "ff15::1:2", {}, 1280},
                      transport{"Ipv4Multicast", "239.1.2.3", {}},
                      transport{"InterleavedTcp", kPeerIpv4,
                                {"--protocol=rtp_tcp", "--interleaved=0-1", "--session_id=9"}},
                      // Another encoder's kind: four slices per picture, parameter sets at the start only.
                      transport{"Ipv4FourSlicesParameterSetsOnce", kPeerIpv4, {}, harness::kDefaultMtu,
                                "h264_slices.264", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(H264Stream, DisableStapSendsParameterSetsAsSingleNalPackets) {
  const auto nals = short_run("--disable-stap");
  EXPECT_EQ(units_of(nals), first(units_, nals.size()));
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
  std::copy_if(units_.begin(), units_.end(), std::back_inserter(without_sei), [](const bytes& u) { return nal_type(u) != 6; });
  ASSERT_LT(without_sei.size(), units_.size()) << "the clip carries no SEI to leave out";
  const auto nals = short_run("--disable-h264user");
  EXPECT_EQ(units_of(nals), first(without_sei, nals.size()));
}

TEST_F(H264Stream, SdPlaybackSendsFromTheFirstBlockWithTheBlocksTimestamps) {
  rtp_relay relay(udp_receiver(kPeerIpv4));
  const auto r = run_stream({.codec = "h264", .clip = clip_, .daemon = daemon_args("h264", kPeerIpv4, {"--enable-sdplay"}),
                             .feed = {"--playback", "--fps", "60", "--frames", "120"}, .store = "/tmp/shm9",
                             .sdp = kH264Sdp},
                            relay);
  EXPECT_TRUE(harness::wait_syslog("SDPLAY ON: shm_attach(/tmp/shm9)", 1s));
  const auto nals = rebuilt(r.packets);
  ASSERT_GE(nals.size(), 120u);
  EXPECT_EQ(units_of(nals), first(units_, nals.size()));
  // Frame n of the playback carries the feeder's time stamp n * 90000 / 60.
  int frame = -1;
  for (size_t i = 0; i < nals.size(); ++i) {
    const int type = nal_type(nals[i].unit);
    if (type == 7 || type == 1) ++frame;
    ASSERT_EQ(nals[i].timestamp, static_cast<uint32_t>(frame * 1500)) << "unit " << i;
  }
  expect_decoded_run(r.decoded, source_hashes(clip_), 110, true);
}

TEST_F(H264Stream, ReaderThatFellBehindResumesAtAKeyFrame) {
  ffmpeg_decoder decoder(kH264Sdp);
  rtp_relay relay(udp_receiver(kPeerIpv4));
  auto sessiond = start_sessiond();
  auto feeder = start_feeder("h264", clip_, {"--fps", "60", "--rate-code", "30", "--loop", "--blocks", "16"});
  ASSERT_TRUE(harness::wait_for_file("/tmp/shm0")) << feeder.err();
  const pid_t pid = start_daemon(daemon_args("h264", kPeerIpv4));
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
  EXPECT_TRUE(daemon_runs::wait_until([&] { return relay.count() > before + 30 && decoder.frames() > 60; }, 20s))
      << "the stream did not go on";
  const auto decoded = decoder.stop();
  EXPECT_EQ(stop_daemon(pid).code(), 0);

  // Whatever was decoded is a clean frame of the clip: the new start was a key frame.
  const auto source = source_hashes(clip_);
  const std::set<std::string> known(source.begin(), source.end());
  ASSERT_GT(decoded.size(), 60u);
  for (size_t i = 0; i < decoded.size(); ++i) EXPECT_TRUE(known.count(decoded[i])) << "frame " << i << " damaged";
}

}  // namespace
