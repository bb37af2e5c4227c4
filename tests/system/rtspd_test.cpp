// avtd-rtspd on the daemon's host, real players on the receiving host:
// FFmpeg and GStreamer open the streams by URL over every transport and
// family; sessions end at TEARDOWN, with a vanished player and with the
// server; 64 viewers play at once while bad clients are answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "media_peers.h"
#include "tools_streams.h"

namespace {

using namespace std::chrono_literals;
using harness::wait_until;
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
  wait_until([&] { const std::string out = p.out(); return std::count(out.begin(), out.end(), '\n') >= static_cast<long>(count); }, 20s);
  const std::regex line(R"(viewer \d+: playing session (\d+))");
  const std::string out = p.out();
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
    ids.push_back(std::stoi((*it)[1]));
  }
  return ids;
}

// Viewers that received one unbroken stream, from rtsp-viewers' report.
int unbroken_viewers(const std::string& report) {
  const std::regex ok(R"("lost":0,"ssrcs":1,"result":"ok")");
  return static_cast<int>(std::distance(std::sregex_iterator(report.begin(), report.end(), ok), std::sregex_iterator()));
}

// The daemon serving a unicast session, from its pid file (-1: none).
pid_t daemon_of(int session) { return harness::read_pid_file("/var/run/avtd_" + std::to_string(session) + ".pid", 2s).value_or(-1); }

// The reply a raw client on the receiving host gets for `bytes`.
std::string reply_for(const std::string& bytes, std::chrono::milliseconds wait = 3s) {
  harness::Fd s = harness::tcp_connect(harness::kLocalIpv4, 8554);
  ::send(s.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string got;
  for (int i = 0; i < 100 && got.find("\r\n") == std::string::npos; ++i) {
    const auto more = harness::read_some(s.get(), 4096, wait);
    if (more.empty()) break;
    got.append(more.begin(), more.end());
  }
  return got;
}

std::string status_for(const std::string& bytes) {
  const std::string reply = reply_for(bytes);
  return reply.substr(0, reply.find("\r\n"));
}

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

struct leave_case {
  const char* name;
  const char* transport;
};

void PrintTo(const leave_case& c, std::ostream* out) { *out << c.name; }

// A sanitizer build's daemon also checks itself for leaks on the way out,
// which takes longer than the stop itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr auto kTeardownStop = 3s;
#else
constexpr auto kTeardownStop = 1s;
#endif

class RtspTeardown : public ::testing::TestWithParam<leave_case> {};

// Two viewers of one stream: the first one's TEARDOWN stops its daemon
// within a second and leaves the other's stream alone; a multicast daemon,
// shared by both, runs until the second TEARDOWN.
TEST_P(RtspTeardown, StopsOnlyWhatNoViewerNeeds) {
  const bool multicast = std::string(GetParam().transport) == "multicast";
  Process feeder = tools_streams::start_feeder(kH264);
  Process rtspd = start_rtspd();
  Process tool = viewers(url("/h264"), {"--viewers", "2", "--transport", GetParam().transport, "--seconds", "1",
                                        "--stagger-ms", "2500"});
  const std::vector<int> ids = playing_sessions(tool, 2);
  ASSERT_EQ(ids.size(), 2u) << tool.out() << tool.err() << rtspd.err();
  const pid_t first = multicast ? -1 : daemon_of(ids[0]);
  const pid_t second = multicast ? -1 : daemon_of(ids[1]);
  const pid_t shared = multicast ? harness::read_pid_file("/var/run/avtd_channel0.pid", 2s).value_or(-1) : -1;
  ASSERT_TRUE(multicast ? shared > 0 && first < 0 : first > 0 && second > 0) << rtspd.err();

  ASSERT_TRUE(tool.wait_out("viewer 0: leaving", 10s)) << tool.out();
  if (multicast) {
    std::this_thread::sleep_for(1500ms); // the shared daemon must outlive the first TEARDOWN
    EXPECT_TRUE(harness::process_alive(shared));
  } else {
    EXPECT_TRUE(wait_until([&] { return !harness::process_alive(first); }, kTeardownStop)) << "daemon outlived TEARDOWN";
    EXPECT_TRUE(harness::process_alive(second) || tool.out().find("viewer 1: leaving") != std::string::npos);
  }
  ASSERT_TRUE(tool.wait_out("viewer 1: leaving", 10s)) << tool.out();
  EXPECT_TRUE(wait_until([&] { return !harness::process_alive(multicast ? shared : second); }, kTeardownStop));
  EXPECT_EQ(tool.wait(10s).code(), 0) << tool.out() << tool.err();
  EXPECT_EQ(unbroken_viewers(tool.out()), 2) << tool.out();
}

INSTANTIATE_TEST_SUITE_P(Over, RtspTeardown,
                         ::testing::Values(leave_case{"Udp", "udp"}, leave_case{"Tcp", "tcp"},
                                           leave_case{"Multicast", "multicast"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A player that vanishes: killed (its connection closes) or silent (its
// connection stays, nothing comes). Either way its daemon is stopped within
// the session time-out and the session is gone.
TEST(RtspSessions, VanishedViewersDaemonIsStoppedWithinTheTimeout) {
  Process feeder = tools_streams::start_feeder(kH264);
  Process rtspd = start_rtspd();
  for (const bool killed : {true, false}) {
    SCOPED_TRACE(killed ? "killed" : "silent");
    Process tool = viewers(url("/h264"), {"--seconds", "60", "--keepalive", killed ? "1" : "600"});
    const std::vector<int> ids = playing_sessions(tool, 1);
    ASSERT_EQ(ids.size(), 1u) << tool.out() << rtspd.err();
    const pid_t daemon = daemon_of(ids[0]);
    ASSERT_GT(daemon, 0);
    if (killed) tool.signal(SIGKILL);
    // The time-out, then the daemon's stop at its next one-second step.
    EXPECT_TRUE(wait_until([&] { return !harness::process_alive(daemon); }, std::chrono::seconds(kSessionTimeout + 2)))
        << rtspd.err();
    EXPECT_TRUE(rtspd.wait_err("session " + std::to_string(ids[0]) + ": daemon " + std::to_string(daemon) + " ended"))
        << rtspd.err();
  }
}

// The daemon's own 60 s keep-alive time-out, and a player sending nothing
// but what it sends by itself: its stream runs on past the time-out.
TEST(RtspSessions, UdpPlayerKeepsItsStreamPastTheDaemonsTimeOut) {
  Process feeder = tools_streams::start_feeder(kH264);
  Process rtspd = start_rtspd({"--session-timeout", "60"});
  constexpr int kSeventySeconds = 70 * 30;
  const harness::RunResult r = harness::run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
                                             "-rtsp_transport", "udp", "-i", url("/h264"), "-frames:v",
                                             std::to_string(kSeventySeconds), "-f", "framemd5", "-"},
                                            150s, {.in_peer = true});
  ASSERT_EQ(r.status.code(), 0) << r.err << rtspd.err();
  const auto decoded = media_sys::framemd5_hashes(r.out);
  EXPECT_EQ(decoded.size(), static_cast<size_t>(kSeventySeconds));
  EXPECT_TRUE(media_sys::contiguous_run(decoded, media_sys::source_hashes(tools_streams::clip(kH264), "h264")));
  // One daemon from PLAY to TEARDOWN.
  EXPECT_TRUE(rtspd.wait_err("session 1: daemon ")) << rtspd.err();
  EXPECT_EQ(rtspd.err().find("started"), rtspd.err().rfind("started")) << rtspd.err();
  EXPECT_NE(rtspd.err().find("session 1: ending (TEARDOWN)"), std::string::npos) << rtspd.err();
}

// /jpeg?fps=5: the daemon's frame-rate query gets 5, and of the 30 pictures
// a second it sends every sixth.
TEST(RtspSessions, JpegRateOfTheUrlReachesTheDaemon) {
  Process feeder = tools_streams::start_feeder(kJpeg);
  Process rtspd = start_rtspd({"--session-log", "/tmp/session.log"});
  const harness::RunResult r = harness::run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-i",
                                             url("/jpeg?fps=5"), "-frames:v", "8", "-f", "framemd5", "-"},
                                            60s, {.in_peer = true});
  ASSERT_EQ(r.status.code(), 0) << r.err << rtspd.err();
  EXPECT_NE(harness::read_file("/tmp/session.log").value_or("").find(R"({"op":"framerate","reply":5})"),
            std::string::npos);
  const auto decoded = media_sys::framemd5_hashes(r.out);
  const auto source = media_sys::source_hashes(tools_streams::clip(kJpeg), "mjpeg");
  ASSERT_EQ(decoded.size(), 8u);
  const auto first = std::find(source.begin(), source.end(), decoded[0]);
  ASSERT_NE(first, source.end());
  for (size_t i = 1; i < decoded.size(); ++i) {
    EXPECT_EQ(decoded[i], source[(static_cast<size_t>(first - source.begin()) + 6 * i) % source.size()]) << i;
  }
}

// SIGTERM to the server with viewers on every transport: every daemon
// stopped, nothing left behind.
TEST(RtspSessions, TermStopsEveryDaemonAndLeavesNothingBehind) {
  Process feeder = tools_streams::start_feeder(kH264);
  Process rtspd = start_rtspd();
  std::vector<Process> tools;
  int port = 30000;
  for (const char* transport : {"udp", "tcp", "multicast"}) {
    tools.push_back(viewers(url("/h264"), {"--transport", transport, "--seconds", "60", "--client-port",
                                           std::to_string(port += 10)}));
    ASSERT_EQ(playing_sessions(tools.back(), 1).size(), 1u) << tools.back().err() << rtspd.err();
  }
  rtspd.signal(SIGTERM);
  EXPECT_EQ(rtspd.wait(10s).code(), 0) << rtspd.err();
  EXPECT_EQ(harness::run({"sh", "-c", "ls /var/run/*.pid /tmp/session /tmp/rtp_over_http_sock_* 2>/dev/null; pgrep -x avtd"}).out, "");
  for (const harness::Route& r : harness::ipv4_routes()) {
    EXPECT_NE(r.destination_text(), "239.255.42.0");
  }
}

// 64 viewers play at once, longer than the session time-out, each its own
// unbroken stream, while other clients send what a server must refuse.
TEST(RtspLoad, SixtyFourViewersPlayWhileBadClientsAreAnswered) {
  Process feeder = tools_streams::start_feeder(kH264);
  Process rtspd = start_rtspd({"--max-sessions", "64", "--max-connections", "200"});
  Process tool = viewers(url("/h264"), {"--viewers", "64", "--seconds", std::to_string(kSessionTimeout + 3)});
  ASSERT_EQ(playing_sessions(tool, 64).size(), 64u) << tool.out() << rtspd.err();

  const std::string u = url("/h264");
  const struct {
    std::string request;
    const char* status;
  } kRefused[] = {
      {"\x16\x03\x01\x02\x05 hello\r\n\r\n", "400 Bad Request"},
      {"OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nX-Pad: " + std::string(9000, 'a'), "413 Request Entity Too Large"},
      {"OPTIONS * RTSP/2.0\r\nCSeq: 1\r\n\r\n", "505 RTSP Version Not Supported"},
      {"BREW " + u + " RTSP/1.0\r\nCSeq: 1\r\n\r\n", "501 Not Implemented"},
      {"PAUSE " + u + " RTSP/1.0\r\nCSeq: 1\r\nSession: 1\r\n\r\n", "405 Method Not Allowed"},
      {"DESCRIBE " + url("/h265") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n", "404 Not Found"},
      {"PLAY " + u + " RTSP/1.0\r\nCSeq: 1\r\n\r\n", "455 Method Not Valid in This State"},
      {"PLAY " + u + " RTSP/1.0\r\nCSeq: 1\r\nSession: 999\r\n\r\n", "454 Session Not Found"},
      {"SETUP " + u + "/track1 RTSP/1.0\r\nCSeq: 1\r\nSession: 1\r\nTransport: RTP/AVP/TCP\r\n\r\n",
       "455 Method Not Valid in This State"},
      {"SETUP " + u + "/track1 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=40000-40001\r\n\r\n",
       "503 Service Unavailable"},
      {"OPTIONS * RTSP/1.0\r\nCSe", "408 Request Timeout"}, // never finished
  };
  for (const auto& row : kRefused) {
    EXPECT_EQ(status_for(row.request), std::string("RTSP/1.0 ") + row.status) << row.request.substr(0, 60);
  }
  // A flood of idle connections: those past the limit are turned away at once.
  std::vector<harness::Fd> flood;
  for (int i = 0; i < 250; ++i) flood.push_back(harness::tcp_connect(harness::kLocalIpv4, 8554));
  const auto turned_away = harness::read_some(flood.back().get(), 4096, 3s);
  EXPECT_EQ(std::string(turned_away.begin(), turned_away.end()).substr(0, 12), "RTSP/1.0 503");
  flood.clear(); // served again once the server has seen them close
  EXPECT_TRUE(wait_until([] { return status_for("OPTIONS * RTSP/1.0\r\nCSeq: 7\r\n\r\n") == "RTSP/1.0 200 OK"; }, 10s));
  // The bit rate the first viewer's daemon reports (every 5 s).
  const std::regex bitrate(R"(^RTSP/1.0 200 OK\r\n[^]*\r\n\r\nbitrate: [1-9][0-9]*\r\n$)");
  EXPECT_TRUE(wait_until(
      [&] {
        return std::regex_match(reply_for("GET_PARAMETER " + u + " RTSP/1.0\r\nCSeq: 8\r\nSession: 1\r\n"
                                          "Content-Length: 9\r\n\r\nbitrate\r\n"),
                                bitrate);
      },
      6s));

  EXPECT_EQ(tool.wait(30s).code(), 0) << tool.out() << tool.err();
  EXPECT_EQ(unbroken_viewers(tool.out()), 64) << tool.out();
}

}  // namespace
