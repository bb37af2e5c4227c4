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

namespace engine_runs {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;

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

inline bool is_multicast(const std::string& host) {
  return host.rfind("ff", 0) == 0 || host.rfind("239.", 0) == 0 || host.rfind("224.", 0) == 0;
}

inline std::string pid_path_for(const std::string& host) {
  return is_multicast(host) ? "/var/run/avtd_channel0.pid" : "/var/run/avtd_2.pid";
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

// The feeder and the daemon streaming from it to `host`; receivers made
// before it see the first packets.
struct mpeg4_stream {
  harness::Process feeder = daemon_runs::start_mpeg4_feeder();
  pid_t pid;
  explicit mpeg4_stream(const std::string& host, std::vector<std::string> extra = {},
                        const std::string& pid_path = "")
      : pid(start_stream(mpeg4_args(host, std::move(extra)), pid_path.empty() ? pid_path_for(host) : pid_path)) {}
};

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

inline rtp_view view_rtp(const bytes& p) {
  if (p.size() < 12) return {};
  return {(p[1] & 0x80) != 0, p[1] & 0x7F, static_cast<uint16_t>(p[2] << 8 | p[3]), be32(&p[4]), be32(&p[8]),
          p.size() - 12};
}

} // namespace engine_runs
