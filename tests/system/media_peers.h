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
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon_runs.h"
#include "harness/harness.h"
#include "media_rtp.h"

namespace media_sys {

using namespace std::chrono_literals;
using daemon_runs::start_daemon;
using daemon_runs::stop_daemon;

inline constexpr int kStreamPort = 5000;  // where the daemon sends
inline constexpr int kDecoderPort = 6000; // where the relay hands on, on the peer's loopback
inline constexpr int kGstDecoderPort = 6002; // and a second time, for GStreamer

// A clip of scripts/make-test-media.sh, made once beside the binaries.
inline std::string clip(const std::string& name) {
  const std::string path = harness::test_clip(name);
  EXPECT_FALSE(path.empty()) << "cannot make the test clip " << name;
  return path;
}

inline bytes read_bytes(const std::string& path) {
  const std::string text = harness::read_file(path).value_or("");
  return bytes(text.begin(), text.end());
}

// The clip at `path` turned round by its first `head` bytes (its first
// unit), in /tmp: fed after a prefeed of that unit, the store holds one
// unbroken run of the clip, looped or not, wherever the daemon starts.
inline std::string clip_after_first(const std::string& path, size_t head) {
  const std::string text = harness::read_file(path).value_or("");
  const std::string turned = "/tmp/turned-" + path.substr(path.rfind('/') + 1);
  std::ofstream(turned, std::ios::binary) << text.substr(head) << text.substr(0, head);
  return turned;
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

// GStreamer's hashes of decoded frames, one per line of checksumsink:
// "<time> <md5>".
inline std::vector<std::string> checksum_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream lines(text);
  for (std::string time, hash; lines >> time >> hash;) out.push_back(hash);
  return out;
}

// The tail of a GStreamer pipeline: decoded, as I420, one md5 per frame.
inline const std::vector<std::string> kGstHashTail = {"decodebin", "!", "videoconvert", "!", "video/x-raw,format=I420",
                                                      "!", "checksumsink", "hash=md5"};

// The frame hashes of a clip decoded by GStreamer directly.
inline std::vector<std::string> gst_source_hashes(const std::string& path) {
  std::vector<std::string> args{"gst-launch-1.0", "-q", "filesrc", "location=" + path, "!"};
  args.insert(args.end(), kGstHashTail.begin(), kGstHashTail.end());
  const auto r = harness::run(args, 60s);
  EXPECT_EQ(r.status.code(), 0) << r.err;
  return checksum_lines(r.out);
}

// The decoded frames are one unbroken run of the clip's, at least `at_least`
// of them, from the clip's first frame on when `from_first`.
inline void expect_decoded_run(const std::vector<std::string>& decoded, const std::vector<std::string>& source,
                               size_t at_least, bool from_first) {
  EXPECT_GE(decoded.size(), at_least) << "frames decoded";
  const auto start = contiguous_run(decoded, source);
  ASSERT_TRUE(start.has_value()) << "decoded frames are not one unbroken run of the clip's";
  if (from_first) {
    EXPECT_EQ(*start, 0u);
  }
}

inline std::string sdp_for(const std::string& media, int payload_type, const std::vector<std::string>& attributes) {
  std::string s = "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=avtd test\nc=IN IP4 127.0.0.1\nt=0 0\n";
  s += "m=" + media + " " + std::to_string(kDecoderPort) + " RTP/AVP " + std::to_string(payload_type) + "\n";
  for (const auto& a : attributes) s += "a=" + a + "\n";
  return s;
}

// FFmpeg on the receiving host decoding the stream that an SDP describes,
// writing one hash per decoded frame (flushed per frame, so stopping it with
// a signal loses nothing it has decoded).
class ffmpeg_decoder {
 public:
  explicit ffmpeg_decoder(const std::string& sdp) {
    std::ofstream("/tmp/decode.sdp") << sdp;
    process_ = harness::Process(
        // Ahead of the load the tests may run under, with seconds of the
        // stream in its socket: the receiving host stands for another machine.
        {"nice", "-n", "-10", "ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-protocol_whitelist",
         "file,udp,rtp", "-buffer_size", "4194304", "-reorder_queue_size", "0", "-i", "/tmp/decode.sdp", "-fps_mode", "passthrough", "-flush_packets", "1",
         "-f", "framemd5", "/tmp/decoded.md5"},
        {.in_peer = true});
    EXPECT_TRUE(daemon_runs::wait_udp_port_bound(kDecoderPort, 10s, true)) << process_.err();
  }
  // Frames decoded so far.
  size_t frames() const { return framemd5_hashes(harness::read_file("/tmp/decoded.md5").value_or("")).size(); }
  std::vector<std::string> stop() {
    // Once decoding runs, FFmpeg leaves a blocked read only at a second
    // signal; every frame it decoded has been written by then.
    process_.signal(SIGINT);
    if (process_.wait(300ms).timed_out()) process_.signal(SIGINT);
    process_.wait(10s);
    return framemd5_hashes(harness::read_file("/tmp/decoded.md5").value_or(""));
  }

 private:
  harness::Process process_;
};

// GStreamer on the receiving host decoding the relayed stream: RTP caps
// such as "encoding-name=JPEG,payload=26" and the depayloader.
class gst_decoder {
 public:
  gst_decoder(const std::string& caps, const std::string& depayloader) {
    // A large socket buffer: a decoder that falls behind for a moment on a
    // busy machine must not lose packets.
    std::vector<std::string> args{"gst-launch-1.0", "-q", "-e", "udpsrc", "port=" + std::to_string(kGstDecoderPort),
                                  "buffer-size=16777216",
                                  "caps=application/x-rtp,media=video,clock-rate=90000," + caps, "!", depayloader, "!"};
    args.insert(args.end(), kGstHashTail.begin(), kGstHashTail.end());
    process_ = harness::Process(args, {.in_peer = true});
    EXPECT_TRUE(daemon_runs::wait_udp_port_bound(kGstDecoderPort, 10s, true)) << process_.err();
  }
  std::vector<std::string> stop() {
    process_.signal(SIGINT); // -e: the end of stream runs through, every frame is out
    process_.wait(10s);
    return checksum_lines(process_.out());
  }

 private:
  harness::Process process_;
};

// Receives the stream on the receiving host (UDP, or '$' frames on a TCP
// connection), records every RTP packet and forwards it to the decoder port.
class rtp_relay {
 public:
  explicit rtp_relay(std::unique_ptr<harness::UdpReceiver> udp) : udp_(std::move(udp)) { start(); }
  explicit rtp_relay(harness::Fd tcp) : tcp_(std::move(tcp)) { start(); }
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
  void start() {
    out_ = harness::peer_socket(AF_INET, SOCK_DGRAM);
    thread_ = std::thread([this] { run(); });
  }

  void record(std::span<const uint8_t> data) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const int port : {kDecoderPort, kGstDecoderPort}) {
      to.sin_port = htons(static_cast<uint16_t>(port));
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
    toolkit::Deframer deframer([this](uint8_t channel, toolkit::Bytes frame) {
      if (channel == 0) record(frame);
    });
    // Bounded by the test: it stops the relay, and every wait below is short.
    while (running_ && deframer.in_step()) {
      if (udp_) {
        if (auto d = udp_->receive(100ms)) record(d->data);
        continue;
      }
      deframer.feed(harness::read_some(tcp_.get(), 65536, 100ms));
    }
    if (!deframer.in_step()) ++malformed_;
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

inline std::unique_ptr<harness::UdpReceiver> udp_receiver(const std::string& address) {
  return std::make_unique<harness::UdpReceiver>(address, static_cast<uint16_t>(kStreamPort));
}

// frame-feeder writing `clip_path` into the store of channel 0 (or the
// playback store).
inline harness::Process start_feeder(const std::string& codec, const std::string& clip_path,
                                     std::vector<std::string> extra) {
  std::vector<std::string> args{harness::bin("frame-feeder"), "--codec", codec, "--input", clip_path};
  if (std::find(extra.begin(), extra.end(), "--playback") == extra.end()) {
    args.insert(args.end(), {"--channel", "0"});
  }
  args.insert(args.end(), extra.begin(), extra.end());
  return harness::Process(args);
}

// mini-sessiond on "/tmp/session" answering frame-rate queries with `rate`.
inline harness::Process start_sessiond(int rate = 30) {
  return daemon_runs::start_sessiond("/tmp/sessiond.log", {"--framerate", std::to_string(rate)});
}

inline std::vector<std::string> daemon_args(const std::string& datatype, const std::string& host,
                                            std::vector<std::string> extra = {}) {
  std::vector<std::string> args{harness::bin("avtd"), "--datatype=" + datatype, "--host=" + host,
                                "--dstport=" + std::to_string(kStreamPort), "--ttl=4", "--tos=0",
                                "--device=eth0", "--protocol=rtp_udp", "--timeout=0"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// One stream from the feeder to the receiving host.
struct stream_spec {
  std::string codec;               // the feeder's codec and the daemon's datatype
  std::string clip;
  std::vector<std::string> daemon; // the daemon's command line
  std::vector<std::string> feed;   // feeder options; the store is kept after the feed
  // > 0: that many frames go into the store first and the feed starts once
  // the daemon's reader waits at the newest block; 0: the feed starts first
  // and the daemon once `store` exists.
  int prefeed = 0;
  std::string feed_clip; // the feed's clip when it goes on from the prefeed's (default: clip)
  std::string store = "/tmp/shm0";
  std::string sdp; // FFmpeg decodes the stream when given
  int session_rate = 30;
  std::string gst_caps, gst_depayloader; // GStreamer decodes it too when given
};

struct stream_result {
  std::vector<std::string> decoded; // frame hashes, when FFmpeg decoded
  std::vector<std::string> gst_decoded; // and when GStreamer did
  std::vector<rtp_packet> packets;
};

// Runs the stream until it has gone quiet, then stops the daemon (which must
// end with status 0) and the relay.
inline stream_result run_stream(const stream_spec& plan, rtp_relay& relay) {
  auto sessiond = start_sessiond(plan.session_rate);
  std::optional<ffmpeg_decoder> decoder;
  if (!plan.sdp.empty()) decoder.emplace(plan.sdp);
  std::optional<gst_decoder> gst;
  if (!plan.gst_caps.empty()) gst.emplace(plan.gst_caps, plan.gst_depayloader);
  auto feed = plan.feed;
  feed.push_back("--keep");
  harness::Process feeder;
  pid_t pid = -1;
  if (plan.prefeed > 0) {
    auto first = start_feeder(plan.codec, plan.clip,
                              {"--frames", std::to_string(plan.prefeed), "--unpaced", "--keep"});
    EXPECT_EQ(first.wait(30s).code(), 0) << first.err();
    pid = start_daemon(plan.daemon);
    // Having found no key frame in the newest block, the reader sleeps until
    // the next one: a feed started earlier could pass the first key frame
    // before the reader looks for the newest block again after a time-out.
    EXPECT_TRUE(daemon_runs::wait_until([&] { return harness::sleeps_on_mapping(pid, plan.store); }, 10s))
        << harness::syslog_dump();
    feeder = start_feeder(plan.codec, plan.feed_clip.empty() ? plan.clip : plan.feed_clip, feed);
  } else {
    feeder = start_feeder(plan.codec, plan.clip, feed);
    EXPECT_TRUE(harness::wait_for_file(plan.store)) << feeder.err();
    pid = start_daemon(plan.daemon);
  }
  EXPECT_EQ(feeder.wait(60s).code(), 0) << feeder.err();
  // Only a reader waiting at the end of the store has sent all that was fed:
  // a quiet spell before that may be a daemon starved of the CPU.
  EXPECT_TRUE(daemon_runs::wait_until([&] { return harness::sleeps_on_mapping(pid, plan.store); }, 20s))
      << harness::syslog_dump();
  EXPECT_TRUE(relay.wait_quiet(700ms, 20s)) << harness::syslog_dump();
  stream_result r;
  if (decoder) r.decoded = decoder->stop();
  if (gst) r.gst_decoded = gst->stop();
  EXPECT_EQ(stop_daemon(pid).code(), 0);
  relay.stop();
  EXPECT_EQ(relay.malformed(), 0) << "packets that were no RTP, or '$' framing out of step";
  r.packets = relay.packets();
  return r;
}

}  // namespace media_sys
