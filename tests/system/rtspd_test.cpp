// avtd-rtspd on the daemon's host, real players on the receiving host:
// FFmpeg and GStreamer open the streams by URL over every transport and
// family; sessions end at TEARDOWN, with a vanished player and with the
// server; 64 viewers play at once while bad clients are answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "daemon_runs.h"
#include "harness/harness.h"
#include "media_peers.h"
#include "tools_streams.h"

namespace {

using namespace std::chrono_literals;
using daemon_runs::wait_until;
using harness::Process;

constexpr int kSessionTimeout = 4; // seconds: short, so that lapses show quickly
constexpr int kFrames = 45;

// avtd-rtspd with short time-outs; waits until it listens.
Process start_rtspd(std::vector<std::string> extra = {}) {
  std::vector<std::string> args{harness::bin("avtd-rtspd"), "--session-timeout", std::to_string(kSessionTimeout),
                                "--request-timeout", "2"};
  args.insert(args.end(), extra.begin(), extra.end());
  Process p(args);
  EXPECT_TRUE(p.wait_err("serving RTSP")) << p.err();
  return p;
}

std::string url(const std::string& path, bool v6 = false) {
  return std::string("rtsp://") + (v6 ? "[2001:db8::1]" : "198.51.100.1") + ":8554" + path;
}

// rtsp-viewers on the receiving host.
Process viewers(const std::string& where, std::vector<std::string> extra) {
  std::vector<std::string> args{harness::bin("rtsp-viewers"), "--url", where, "--keepalive", "1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return Process(args, {.in_peer = true});
}

// The session ids of the viewers that play, as rtsp-viewers announces them.
std::vector<int> playing_sessions(const Process& p, size_t count) {
  std::vector<int> ids;
  wait_until([&] { return std::count(p.out().begin(), p.out().end(), '\n') >= static_cast<long>(count); }, 20s);
  const std::regex line(R"(viewer \d+: playing session (\d+))");
  const std::string out = p.out();
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
    ids.push_back(std::stoi((*it)[1]));
  }
  return ids;
}

bool daemon_runs_for(int session) { return harness::read_file("/var/run/avtd_" + std::to_string(session) + ".pid").has_value(); }

struct play_case {
  const char* name;
  const char* player;    // "ffmpeg" or "gstreamer"
  const char* transport; // FFmpeg's -rtsp_transport, GStreamer's protocols
  tools_streams::Codec codec;
  const char* path;
  const char* format;    // the clip's format for FFmpeg
  bool v6;
};

void PrintTo(const play_case& c, std::ostream* out) { *out << c.name; }

class RtspPlayer : public ::testing::TestWithParam<play_case> {};

// Every frame decoded is the clip's, in order; audio is the clip's bytes.
TEST_P(RtspPlayer, DecodesTheFedFrames) {
  const play_case& c = GetParam();
  Process feeder = tools_streams::start_feeder(c.codec);
  Process rtspd = start_rtspd();
  const bool audio = c.codec.payload == 0;
  std::vector<std::string> args;
  if (std::string(c.player) == "gstreamer") {
    args = {"gst-launch-1.0", "-q", "rtspsrc", "location=" + url(c.path, c.v6), std::string("protocols=") + c.transport,
            "!", "decodebin", "!", "identity", "eos-after=" + std::to_string(kFrames), "!", "fakesink"};
  } else {
    args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-rtsp_transport", c.transport, "-i",
            url(c.path, c.v6), audio ? "-frames:a" : "-frames:v", std::to_string(kFrames), "-fps_mode", "passthrough",
            "-f", audio ? "mulaw" : "framemd5", "-"};
  }
  const harness::RunResult r = harness::run(args, 60s, {.in_peer = true});
  ASSERT_EQ(r.status.code(), 0) << r.err << rtspd.err();
  if (std::string(c.player) == "ffmpeg" && audio) {
    const std::string tone = harness::read_file(tools_streams::clip(c.codec)).value_or("");
    ASSERT_GE(r.out.size(), 4000u);
    EXPECT_NE((tone + tone).find(r.out.substr(0, 4000)), std::string::npos) << "not the fed samples";
  } else if (std::string(c.player) == "ffmpeg") {
    const auto decoded = media_sys::framemd5_hashes(r.out);
    EXPECT_EQ(decoded.size(), static_cast<size_t>(kFrames));
    EXPECT_TRUE(media_sys::contiguous_run(decoded, media_sys::source_hashes(tools_streams::clip(c.codec), c.format)))
        << "decoded frames are not one unbroken run of the clip's";
  }
  // The player tore down: its daemon is gone (or, multicast, the shared one).
  EXPECT_TRUE(wait_until([] { return harness::read_file("/var/run/avtd_1.pid") == std::nullopt &&
                                     harness::read_file("/var/run/avtd_channel0.pid") == std::nullopt; },
                         3s))
      << rtspd.err();
}

using tools_streams::kH264;
using tools_streams::kJpeg;
using tools_streams::kMpeg4;
using tools_streams::kUlaw;

INSTANTIATE_TEST_SUITE_P(
    Over, RtspPlayer,
    ::testing::Values(play_case{"FfmpegH264Udp", "ffmpeg", "udp", kH264, "/h264", "h264", false},
                      play_case{"FfmpegH264Tcp", "ffmpeg", "tcp", kH264, "/h264", "h264", false},
                      play_case{"FfmpegH264Multicast", "ffmpeg", "udp_multicast", kH264, "/h264", "h264", false},
                      play_case{"FfmpegH264UdpIpv6", "ffmpeg", "udp", kH264, "/ch0/h264", "h264", true},
                      play_case{"FfmpegJpegUdp", "ffmpeg", "udp", kJpeg, "/jpeg", "mjpeg", false},
                      play_case{"FfmpegJpegTcpIpv6", "ffmpeg", "tcp", kJpeg, "/jpeg", "mjpeg", true},
                      play_case{"FfmpegMpeg4Tcp", "ffmpeg", "tcp", kMpeg4, "/mpeg4", "m4v", false},
                      play_case{"FfmpegMpeg4MulticastIpv6", "ffmpeg", "udp_multicast", kMpeg4, "/mpeg4", "m4v", true},
                      play_case{"FfmpegUlawUdp", "ffmpeg", "udp", kUlaw, "/ulaw", "", false},
                      play_case{"FfmpegUlawTcpIpv6", "ffmpeg", "tcp", kUlaw, "/ulaw", "", true},
                      play_case{"GstreamerH264Udp", "gstreamer", "udp", kH264, "/h264", "", false},
                      play_case{"GstreamerH264Tcp", "gstreamer", "tcp", kH264, "/h264", "", false},
                      play_case{"GstreamerJpegUdp", "gstreamer", "udp", kJpeg, "/jpeg", "", false},
                      play_case{"GstreamerJpegTcp", "gstreamer", "tcp", kJpeg, "/jpeg", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
