// Running real streams for the engine's system tests: an MPEG-4 frame store
// fed with plain 3000-byte units, the daemon on it, and what the receiving
// host sees of RTP and RTCP.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "daemon_runs.h"
#include "harness/harness.h"

namespace engine_runs {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;

inline constexpr int kSrcPort = 6000;
inline constexpr int kDstPort = 5000;

// An MPEG-4 stream to `host` with fixed ports and session id (no session
// daemon needed), plus `extra` options.
inline std::vector<std::string> mpeg4_args(const std::string& host, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {harness::bin("avtd"),
                                   "--datatype=mpeg4",
                                   "--host=" + host,
                                   "--dstport=" + std::to_string(kDstPort),
                                   "--srcport=" + std::to_string(kSrcPort),
                                   "--ttl=7",
                                   "--tos=184",
                                   "--device=eth0",
                                   "--protocol=rtp_udp",
                                   "--session_id=2"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

inline std::string pid_path_for(const std::string& host) {
  const bool multicast = host.rfind("ff", 0) == 0 || host.rfind("239.", 0) == 0 || host.rfind("224.", 0) == 0;
  return multicast ? "/var/run/avtd_channel0.pid" : "/var/run/avtd_2.pid";
}

// Launches the daemon and returns its pid once the pid file holds it.
inline pid_t start_stream(const std::vector<std::string>& args, const std::string& pid_path) {
  const harness::RunResult launched = daemon_runs::launch(args);
  EXPECT_EQ(launched.status.code(), 0) << launched.err;
  const auto pid = harness::read_pid_file(pid_path, 10s);
  EXPECT_TRUE(pid.has_value()) << pid_path << " never appeared\n" << harness::syslog_dump();
  return pid.value_or(-1);
}

// SIGTERM, then the exit status (0 expected).
inline int stop_stream(pid_t pid) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  return harness::wait_exit(pid, 20s).code();
}

struct rtp_view {
  bool marker = false;
  int payload_type = 0;
  uint16_t seq = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  size_t payload_size = 0;
};

inline uint32_t be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline rtp_view view_rtp(const uint8_t* p, size_t size) {
  rtp_view v;
  if (size < 12) return v;
  v.marker = (p[1] & 0x80) != 0;
  v.payload_type = p[1] & 0x7F;
  v.seq = static_cast<uint16_t>(p[2] << 8 | p[3]);
  v.timestamp = be32(p + 4);
  v.ssrc = be32(p + 8);
  v.payload_size = size - 12;
  return v;
}
inline rtp_view view_rtp(const bytes& b) { return view_rtp(b.data(), b.size()); }

struct sender_report_view {
  uint32_t ssrc = 0;
  uint32_t ntp_seconds = 0;
  uint32_t ntp_fraction = 0;
  uint32_t rtp_timestamp = 0;
  uint32_t packets = 0;
  uint32_t octets = 0;
};
// Reads a 28-byte sender report; false when it is not one.
inline bool view_report(const uint8_t* p, size_t size, sender_report_view& r) {
  if (size != 28 || p[0] != 0x80 || p[1] != 200 || p[2] != 0 || p[3] != 6) return false;
  r.ssrc = be32(p + 4);
  r.ntp_seconds = be32(p + 8);
  r.ntp_fraction = be32(p + 12);
  r.rtp_timestamp = be32(p + 16);
  r.packets = be32(p + 20);
  r.octets = be32(p + 24);
  return true;
}

struct frame {
  int channel = 0;
  bytes body;
};
// Cuts an interleaved byte stream into '$' frames; `whole` is false when a
// byte did not belong to a complete frame (a trailing partial frame of a
// stream still running is left in `rest`).
struct framed {
  std::vector<frame> frames;
  bool whole = true;
  bytes rest;
};
inline framed split_frames(const bytes& s) {
  framed out;
  size_t at = 0;
  while (at < s.size()) {
    if (s[at] != '$') {
      out.whole = false;
      return out;
    }
    if (at + 4 > s.size()) break;
    const size_t len = static_cast<size_t>(s[at + 2]) << 8 | s[at + 3];
    if (at + 4 + len > s.size()) break;
    out.frames.push_back({s[at + 1], bytes(s.begin() + static_cast<long>(at + 4),
                                           s.begin() + static_cast<long>(at + 4 + len))});
    at += 4 + len;
  }
  out.rest.assign(s.begin() + static_cast<long>(at), s.end());
  return out;
}

} // namespace engine_runs
