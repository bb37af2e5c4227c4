// The programs around the soaked daemon: the 8 Mbit/s H.264 clip and its
// frame producer, the session daemon and the event manager, each of which
// the soak stops and starts again.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_runs.h"
#include "harness/harness.h"

namespace soak {

using namespace std::chrono_literals;

inline constexpr char kSessiondLog[] = "/tmp/sessiond.log";
inline constexpr char kEvmanLog[] = "/tmp/evman.log";

// A 960x540 clip at 8 Mbit/s, noise in every frame so that the encoder
// spends the bit rate, a key frame a second; made once beside the binaries.
inline std::string make_clip() {
  const std::string dir = std::string(AVTD_BIN_DIR) + "/../test-media";
  const std::string path = dir + "/soak-8mbit.h264";
  if (access(path.c_str(), R_OK) == 0) return path;
  const std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
  harness::run({"mkdir", "-p", dir});
  const auto made = harness::run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi",
                                  "-i", "testsrc2=size=960x540:rate=30", "-vf", "noise=alls=20:allf=t", "-t", "10",
                                  "-c:v", "libx264", "-preset", "ultrafast", "-profile:v", "baseline", "-pix_fmt",
                                  "yuv420p", "-b:v", "8M", "-maxrate", "8M", "-bufsize", "8M", "-g", "30",
                                  "-keyint_min", "30", "-sc_threshold", "0", "-bf", "0", "-x264-params",
                                  "repeat-headers=1", "-f", "h264", tmp},
                                 180s);
  EXPECT_EQ(made.status.code(), 0) << made.err;
  rename(tmp.c_str(), path.c_str());
  return path;
}

// Stops a peer the way its operator would (SIGTERM), SIGKILL if it lingers.
inline void stop_peer(harness::Process& p) {
  p.signal(SIGTERM);
  if (p.wait(5s).timed_out()) {
    p.signal(SIGKILL);
    p.wait(5s);
  }
}

class peer_set {
 public:
  explicit peer_set(std::string clip) : clip_(std::move(clip)) {
    start_producer();
    start_sessiond();
    start_evman(false);
  }

  // The encoder side dies without a word; the store stays as it was left.
  void crash_producer() {
    producer_.signal(SIGKILL);
    producer_.wait(5s);
  }
  void start_producer() {
    producer_ = harness::Process({harness::bin("frame-feeder"), "--codec", "h264", "--channel", "0", "--input", clip_,
                                  "--loop"});
  }

  void stop_sessiond() { stop_peer(sessiond_); }
  void start_sessiond() { sessiond_ = daemon_runs::start_sessiond(kSessiondLog); }

  // silent: takes the notices but never answers them.
  void stop_evman() { stop_peer(evman_); }
  void start_evman(bool silent) {
    evman_ = daemon_runs::start_evman(kEvmanLog, silent ? std::vector<std::string>{"--silent"} : std::vector<std::string>{});
  }

  // The session id the daemon registered with, from the session daemon's log.
  std::optional<int> registered_session() const {
    for (const auto& line : daemon_runs::log_lines(kSessiondLog)) {
      int id = -1;
      if (std::sscanf(line.c_str(), "{\"op\":\"add\",\"session_id\":%d", &id) == 1) return id;
    }
    return std::nullopt;
  }

 private:
  std::string clip_;
  harness::Process producer_;
  harness::Process sessiond_;
  harness::Process evman_;
};

} // namespace soak
