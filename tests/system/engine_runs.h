// Running real streams for the engine's system tests: an MPEG-4 frame store
// fed with plain 3000-byte units, the daemon on it, and what the receiving
// host sees of RTP.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "daemon_runs.h"
#include "harness/harness.h"
#include "media_rtp.h"

namespace engine_runs {

using namespace std::chrono_literals;
using media_sys::bytes;
using media_sys::rtp_packet;
using media_sys::parse_rtp;

inline constexpr int kSrcPort = 6000;
inline constexpr int kDstPort = 5000;

// An MPEG-4 stream to `host` with fixed ports and session id (no session
// daemon needed), plus `extra` options (a later option wins).
inline std::vector<std::string> mpeg4_args(const std::string& host, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {harness::bin("avtd"), "--datatype=mpeg4", "--host=" + host,
                                   "--dstport=" + std::to_string(kDstPort), "--srcport=" + std::to_string(kSrcPort),
                                   "--ttl=7", "--tos=184", "--device=eth0", "--protocol=rtp_udp", "--session_id=2"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// SIGTERM, then the exit status (0 expected).
inline int stop_stream(pid_t pid) { return pid > 0 ? daemon_runs::stop_daemon(pid).code() : -1; }

// The feeder and the daemon streaming from it to `host`; receivers made
// before it see the first packets.
struct mpeg4_stream {
  harness::Process feeder = daemon_runs::start_mpeg4_feeder();
  pid_t pid;
  explicit mpeg4_stream(const std::string& host, std::vector<std::string> extra = {})
      : pid(daemon_runs::start_daemon(mpeg4_args(host, std::move(extra)))) {}
};

} // namespace engine_runs
