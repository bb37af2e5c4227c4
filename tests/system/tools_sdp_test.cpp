// avtd-sdp's descriptions opened by real receivers on the receiving host:
// FFmpeg and GStreamer decode MPEG-4 and mu-law and take the metadata
// stream. (H.264 and JPEG over every transport: RtspPlayer, whose server
// describes streams with the same library, and DemoRun, which decodes
// through avtd-sdp's description.)
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "tools_streams.h"

using namespace tools_streams;
using harness::bin;
using harness::Process;

namespace {

constexpr int kFrames = 15;
constexpr char kSdpFile[] = "/tmp/stream.sdp";

// The description avtd-sdp prints for the daemon's options, saved where the
// receivers read it.
std::string write_sdp(const std::vector<std::string>& options) {
  std::vector<std::string> args = {bin("avtd-sdp")};
  args.insert(args.end(), options.begin(), options.end());
  const harness::RunResult r = harness::run(args, 20s);
  EXPECT_EQ(r.status.code(), 0) << r.err;
  std::ofstream(kSdpFile) << r.out;
  return r.out;
}

// Decoded frames (video) or audio frames FFmpeg gets from the description.
int ffmpeg_frames(bool audio) {
  const harness::RunResult r =
      harness::run({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-protocol_whitelist",
                    "file,udp,rtp", "-i", kSdpFile, audio ? "-frames:a" : "-frames:v", std::to_string(kFrames), "-f",
                    "framemd5", "-"},
                   40s, harness::SpawnOptions{.in_peer = true});
  EXPECT_EQ(r.status.code(), 0) << r.err;
  int frames = 0;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    frames += line.rfind("0,", 0) == 0;
  }
  return frames;
}

// GStreamer's exit status after taking kFrames buffers from the
// description, decoded unless `decode` is false.
harness::RunResult gstreamer(bool decode) {
  std::vector<std::string> args = {"gst-launch-1.0", "-q", "filesrc", "location=" + std::string(kSdpFile), "!",
                                   "sdpdemux", "!"};
  if (decode) args.insert(args.end(), {"decodebin", "!"});
  args.insert(args.end(), {"identity", "eos-after=" + std::to_string(kFrames), "!", "fakesink"});
  return harness::run(args, 40s, harness::SpawnOptions{.in_peer = true});
}

// The daemon streaming `codec` to the receiving host, and the description avtd-sdp
// prints for the same options.
struct Streaming {
  explicit Streaming(const Codec& codec)
      : options(stream_options(codec)), feeder(start_feeder(codec)), daemon(start_daemon(options)),
        sdp(write_sdp(options)) {}
  ~Streaming() { EXPECT_EQ(engine_runs::stop_stream(daemon), 0); }
  std::vector<std::string> options;
  Process feeder;
  pid_t daemon;
  std::string sdp;
};

void expect_both_receivers_decode(const Codec& codec, const std::string& must_hold) {
  Streaming stream(codec);
  EXPECT_NE(stream.sdp.find(must_hold), std::string::npos) << stream.sdp;
  EXPECT_EQ(ffmpeg_frames(codec.payload == 0), kFrames) << stream.sdp << harness::syslog_dump();
  const harness::RunResult gst = gstreamer(true);
  EXPECT_EQ(gst.status.code(), 0) << stream.sdp << gst.out << gst.err;
}

} // namespace

TEST(ToolsSdp, Mpeg4DescriptionWithConfigDecodes) { expect_both_receivers_decode(kMpeg4, ";config=000001B0"); }

TEST(ToolsSdp, MuLawDescriptionDecodes) { expect_both_receivers_decode(kUlaw, "a=rtpmap:0 PCMU/8000"); }

TEST(ToolsSdp, MetadataDescriptionIsAcceptedByBothReceivers) {
  // Neither has a depayloader for the metadata: they must take the
  // description and hand out the RTP data it announces.
  Streaming stream(kMetadata);
  EXPECT_NE(stream.sdp.find("a=rtpmap:107 vnd.onvif.metadata/90000"), std::string::npos) << stream.sdp;
  const harness::RunResult probe =
      harness::run({"ffprobe", "-hide_banner", "-loglevel", "error", "-protocol_whitelist", "file,udp,rtp",
                    "-analyzeduration", "2000000", "-show_entries", "stream=codec_type", "-of", "csv=p=0", kSdpFile},
                   40s, harness::SpawnOptions{.in_peer = true});
  EXPECT_EQ(probe.status.code(), 0) << probe.err;
  EXPECT_EQ(probe.out, "data\n") << probe.err;
  const harness::RunResult gst = gstreamer(false);
  EXPECT_EQ(gst.status.code(), 0) << gst.out << gst.err;
}
