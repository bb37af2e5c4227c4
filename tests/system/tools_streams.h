// Real streams for the integrator tools' system tests: test clips fed into
// a frame store, the daemon streaming them to the receiving host, and the
// receivers (rtp-probe, FFmpeg, GStreamer) running there.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_runs.h"
#include "harness/harness.h"

namespace tools_streams {

using namespace std::chrono_literals;

inline constexpr int kDstPort = 5000;

struct Codec {
  const char* feeder;   // frame-feeder --codec
  const char* datatype; // avtd --datatype
  const char* clip;     // file made by scripts/make-test-media.sh
  int payload;
  std::vector<std::string> daemon_extra;
};

inline const Codec kH264{"h264", "h264", "h264.264", 96, {}};
inline const Codec kJpeg{"jpeg", "jpeg", "mjpeg_std.mjpeg", 26, {"--enable-rfc2435", "--framerate=30"}};
inline const Codec kMpeg4{"mpeg4", "mpeg4", "mpeg4.m4v", 120, {}};
inline const Codec kUlaw{"ulaw", "ulaw", "tone.ulaw", 0, {}};
// Metadata comes from the event service stand-in, not from a store.
inline const Codec kMetadata{nullptr, "onvif_motion", nullptr, 107, {}};

inline std::string clip(const Codec& codec) {
  const std::string path = harness::test_clip(codec.clip);
  EXPECT_FALSE(path.empty()) << "cannot make the test clip " << codec.clip;
  return path;
}

// The daemon's options for a stream of `codec` to the receiving host.
inline std::vector<std::string> stream_options(const Codec& codec, const std::string& host = harness::kPeerIpv4,
                                               bool tcp = false) {
  std::vector<std::string> args = {"--datatype=" + std::string(codec.datatype),
                                   "--host=" + host,
                                   "--dstport=" + std::to_string(kDstPort),
                                   "--srcport=6000",
                                   "--ttl=4",
                                   "--tos=0",
                                   "--device=eth0",
                                   tcp ? "--protocol=rtp_tcp" : "--protocol=rtp_udp",
                                   "--session_id=3"};
  if (tcp) {
    args.push_back("--interleaved=0-1");
  }
  args.insert(args.end(), codec.daemon_extra.begin(), codec.daemon_extra.end());
  return args;
}

// The source of the codec's frames: frame-feeder looping its clip into the
// store, or for metadata mini-eventd delivering a document five times a
// second. Waits until it is ready.
inline harness::Process start_feeder(const Codec& codec) {
  if (codec.feeder == nullptr) {
    return daemon_runs::start_eventd({"--interval-ms", "200"});
  }
  harness::Process feeder({harness::bin("frame-feeder"), "--codec", codec.feeder, "--channel", "0", "--input",
                           clip(codec), "--loop"});
  const char* store = std::string(codec.feeder) == "ulaw" ? "/tmp/shm4" : "/tmp/shm0";
  EXPECT_TRUE(harness::wait_for_file(store, 10s)) << feeder.err();
  return feeder;
}

// Starts the daemon with `options`; its pid, or -1.
inline pid_t start_daemon(const std::vector<std::string>& options) {
  std::vector<std::string> args = {harness::bin("avtd")};
  args.insert(args.end(), options.begin(), options.end());
  return daemon_runs::start_daemon(args);
}

// A whole number field of the probe's JSON line, -1 when absent.
inline long json_number(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = json.find(key);
  return at == std::string::npos ? -1 : std::strtol(json.c_str() + at + key.size(), nullptr, 10);
}

} // namespace tools_streams
