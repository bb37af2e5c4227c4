// The programs around a media stream in the sandbox: the test clips, the
// frame feeder, the daemon, FFmpeg decoding on the receiving host, and a
// relay that records the RTP packets arriving there and hands them on to
// FFmpeg, so one run is both checked packet by packet and decoded.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"
#include "media_rtp.h"

namespace media_sys {

using namespace std::chrono_literals;

inline constexpr int kStreamPort = 5000;  // where the daemon sends
inline constexpr int kDecoderPort = 6000; // where the relay hands on, on the peer's loopback

// The clips of scripts/make-test-media.sh, made once beside the binaries.
inline std::string media_dir() {
  static const std::string dir = [] {
    const std::string d = std::string(AVTD_BIN_DIR) + "/../test-media";
    // Tests running side by side may make the clips at the same moment; the
    // script keeps what is there, so a second try finishes the job.
    harness::RunResult r;
    for (int attempt = 0; attempt < 3; ++attempt) {
      r = harness::run({"sh", harness::source_path("scripts/make-test-media.sh"), d}, 180s);
      if (r.status.code() == 0) break;
    }
    EXPECT_EQ(r.status.code(), 0) << r.err;
    return d;
  }();
  return dir;
}

inline std::string clip(const std::string& name) {
  return media_dir() + "/" + name;
}

inline bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The frame hashes of a clip decoded directly.
inline std::vector<std::string> source_hashes(const std::string& path, const std::string& format = "") {
  std::vector<std::string> args{"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin"};
  if (!format.empty()) args.insert(args.end(), {"-f", format});
  args.insert(args.end(), {"-i", path, "-fps_mode", "passthrough", "-f", "framemd5", "-"});
  const auto r = harness::run(args, 60s);
  EXPECT_EQ(r.status.code(), 0) << r.err;
  return framemd5_hashes(r.out);
}

inline std::string sdp_for(const std::string& media, int payload_type, const std::vector<std::string>& attributes,
                           int port = kDecoderPort) {
  std::string s = "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=avtd test\nc=IN IP4 127.0.0.1\nt=0 0\n";
  s += "m=" + media + " " + std::to_string(port) + " RTP/AVP " + std::to_string(payload_type) + "\n";
  for (const auto& a : attributes) s += "a=" + a + "\n";
  return s;
}

// True once a UDP socket of the receiving host is bound to `port` (bounded).
inline bool peer_udp_bound(int port, std::chrono::milliseconds timeout = 10s) {
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    bool bound = false;
    harness::in_peer([&] {
      for (const char* table : {"/proc/thread-self/net/udp", "/proc/thread-self/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        while (std::getline(in, line)) bound = bound || line.find(hex) != std::string::npos;
      }
    });
    if (bound) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// FFmpeg on the receiving host decoding the stream that an SDP describes,
// writing one hash per decoded frame (flushed per frame, so stopping it with
// a signal loses nothing it has decoded).
class ffmpeg_decoder {
 public:
  explicit ffmpeg_decoder(const std::string& sdp, int port = kDecoderPort) {
    std::ofstream("/tmp/decode.sdp") << sdp;
    process_ = harness::Process(
        {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-protocol_whitelist", "file,udp,rtp",
         "-reorder_queue_size", "0", "-i", "/tmp/decode.sdp", "-fps_mode", "passthrough", "-flush_packets", "1",
         "-f", "framemd5",
         "/tmp/decoded.md5"},
        {.in_peer = true});
    ready_ = peer_udp_bound(port);
  }
  bool ready() const { return ready_; }
  std::vector<std::string> stop() {
    // Once decoding runs, FFmpeg leaves a blocked read only at a second
    // signal; every frame it decoded has been written by then.
    process_.signal(SIGINT);
    if (process_.wait(300ms).timed_out()) process_.signal(SIGINT);
    process_.wait(10s);
    std::ifstream in("/tmp/decoded.md5");
    std::stringstream text;
    text << in.rdbuf();
    return framemd5_hashes(text.str());
  }
  std::string errors() const { return process_.err(); }

 private:
  harness::Process process_;
  bool ready_ = false;
};

// Receives the stream on the receiving host (UDP, or '$' frames on a TCP
// connection), records every RTP packet and forwards it to the decoder port.
class rtp_relay {
 public:
  explicit rtp_relay(std::unique_ptr<harness::UdpReceiver> udp, bool forward = true)
      : udp_(std::move(udp)) {
    start(forward);
  }
  rtp_relay(harness::Fd tcp, bool forward) : tcp_(std::move(tcp)) { start(forward); }
  ~rtp_relay() { stop(); }

  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  // Waits until packets have come and then nothing for `quiet` (bounded by `limit`).
  bool wait_quiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(mutex_);
        if (!packets_.empty() && std::chrono::steady_clock::now() - last_ > quiet) return true;
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  std::vector<rtp_packet> packets() {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  size_t count() {
    std::lock_guard lock(mutex_);
    return packets_.size();
  }
  // Datagrams that were no RTP, or a TCP stream that fell out of step.
  int malformed() const { return malformed_; }

 private:
  void start(bool forward) {
    if (forward) out_ = harness::peer_socket(AF_INET, SOCK_DGRAM);
    thread_ = std::thread([this] { run(); });
  }

  void record(std::span<const uint8_t> data) {
    if (out_) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(kDecoderPort);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sendto(out_.get(), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    auto p = parse_rtp(data);
    std::lock_guard lock(mutex_);
    if (!p) {
      ++malformed_;
      return;
    }
    packets_.push_back(std::move(*p));
    last_ = std::chrono::steady_clock::now();
  }

  void run() {
    bytes stream;
    std::vector<interleaved_frame> frames;
    // Bounded by the test: it stops the relay, and every wait below is short.
    while (running_) {
      if (udp_) {
        if (auto d = udp_->receive(100ms)) record(d->data);
        continue;
      }
      const bytes got = harness::read_some(tcp_.get(), 65536, 100ms);
      stream.insert(stream.end(), got.begin(), got.end());
      frames.clear();
      if (!take_interleaved(stream, frames)) {
        ++malformed_;
        return;
      }
      for (const auto& f : frames) {
        if (f.channel == 0) record(f.data);
      }
    }
  }

  std::unique_ptr<harness::UdpReceiver> udp_;
  harness::Fd tcp_;
  harness::Fd out_;
  std::thread thread_;
  std::atomic<bool> running_{true};
  std::mutex mutex_;
  std::vector<rtp_packet> packets_;
  std::chrono::steady_clock::time_point last_{};
  std::atomic<int> malformed_{0};
};

inline std::unique_ptr<harness::UdpReceiver> udp_receiver(const std::string& address, int port = kStreamPort) {
  return std::make_unique<harness::UdpReceiver>(address, static_cast<uint16_t>(port));
}

// frame-feeder writing `clip_path` into a store.
inline harness::Process start_feeder(const std::string& codec, const std::string& clip_path,
                                     std::vector<std::string> extra) {
  std::vector<std::string> args{harness::bin("frame-feeder"), "--codec", codec, "--input", clip_path};
  if (std::find(extra.begin(), extra.end(), "--playback") == extra.end()) {
    args.insert(args.end(), {"--channel", "0"});
  }
  args.insert(args.end(), extra.begin(), extra.end());
  return harness::Process(args);
}

// Leaves the store of channel 0 live with the first `frames` frames of the
// clip in it, so that a daemon can attach before the real feed starts.
inline void prefeed(const std::string& codec, const std::string& clip_path, int frames) {
  auto p = start_feeder(codec, clip_path, {"--frames", std::to_string(frames), "--unpaced", "--keep"});
  const auto status = p.wait(30s);
  EXPECT_EQ(status.code(), 0) << p.err();
}

// Waits until the daemon's video source has looked for a key frame and found
// none within the store's wait: it is then reading at the newest block, and
// whatever is fed next reaches it from the first block on.
inline bool wait_reader_waiting(const std::string& unit) {
  return harness::wait_syslog_regex("^" + unit + R"( : \d+  : shm_read_data_blockinfo error, data_length=0$)", 10s)
      .has_value();
}

// Starts the daemon with `args` and returns its pid from the pid file.
inline pid_t start_daemon(const std::vector<std::string>& args, const std::string& pid_file) {
  const auto r = harness::run(args, 10s);
  EXPECT_EQ(r.status.code(), 0) << r.out << r.err;
  const auto pid = harness::read_pid_file(pid_file, 5s);
  EXPECT_TRUE(pid.has_value()) << harness::syslog_dump();
  return pid.value_or(-1);
}

// SIGTERM, then the daemon's exit status.
inline harness::ExitStatus stop_daemon(pid_t pid) {
  if (pid > 0) kill(pid, SIGTERM);
  return harness::wait_exit(pid, 10s);
}

inline std::vector<std::string> daemon_args(const std::string& datatype, const std::string& host,
                                            std::vector<std::string> extra = {}) {
  std::vector<std::string> args{harness::bin("avtd"), "--datatype=" + datatype, "--host=" + host,
                                "--dstport=" + std::to_string(kStreamPort), "--ttl=4", "--tos=0",
                                "--device=eth0", "--protocol=rtp_udp", "--timeout=0"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

}  // namespace media_sys

namespace media_sys {

// mini-sessiond on "/tmp/session" answering frame-rate queries with `rate`.
inline harness::Process start_sessiond(int rate = 30) {
  harness::Process p({harness::bin("mini-sessiond"), "--framerate", std::to_string(rate), "--log", "/tmp/sessiond.log"});
  EXPECT_TRUE(harness::wait_for_file("/tmp/session")) << p.err();
  return p;
}

}  // namespace media_sys
