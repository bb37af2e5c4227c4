// The demo: its verdict on what arrived (a lost, damaged, late or missing
// frame, audio or document fails it), short real runs of every codec and
// transport judged intact with their pictures written and nothing left
// behind, a daemon killed mid-stream failing the run, and the script's
// refusals.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness/harness.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr char kOut[] = "/tmp/demo-out";

void write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// check.pl's verdict: exit code and its one line.
struct Verdict {
  int code;
  std::string text;
};

Verdict check(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"perl", harness::source_path("scripts/demo/check.pl")};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto r = harness::run(argv, 20s);
  return {r.status.code(), r.out};
}

Verdict check_frames(const std::string& fed, const std::string& decoded, int lead, int tail = 0) {
  write("/tmp/fed.list", fed);
  write("/tmp/decoded.list", decoded);
  return check({"frames", "/tmp/fed.list", "/tmp/decoded.list", std::to_string(lead), std::to_string(tail)});
}

Verdict check_bytes(const std::string& fed, const std::string& received) {
  write("/tmp/fed.bytes", fed);
  write("/tmp/received.bytes", received);
  return check({"bytes", "/tmp/fed.bytes", "/tmp/received.bytes", "8", "16"});
}

// A verdict's exit code and its whole line (any line when `line` is null).
void expect_verdict(const Verdict& v, int code, const char* line = nullptr) {
  EXPECT_EQ(v.code, code) << v.text;
  if (line != nullptr) {
    EXPECT_EQ(v.text, line);
  } else {
    EXPECT_NE(v.text, "") << "a verdict always says why";
  }
}

TEST(DemoVerdict, LostDamagedLateOrMissingFramesFailAndAWholeRunPasses) {
  // Two frames in the store before the stream, then the clip from its start:
  // the same pictures twice, as in a real run.
  const std::string fed = "a\nb\na\nb\nc\nd\ne\n";
  expect_verdict(check_frames(fed, "a\nb\nc\nd\ne\n", 2), 0,
                 "all 5 decoded frames are fed frames 3 to 7 in order, each identical (of the 7 fed, 2 before them "
                 "were in the store before the stream started)\n");
  // Frames fed too late for the stop may go unsent, no others.
  expect_verdict(check_frames(fed, "a\nb\nc\nd\n", 2, 1), 0,
                 "all 4 decoded frames are fed frames 3 to 6 in order, each identical (of the 7 fed, 2 before them "
                 "were in the store before the stream started and 1 after them were fed too late to be sent before "
                 "the daemon stopped)\n");
  expect_verdict(check_frames(fed, "a\nb\nc\ne\n", 2), 1, "decoded frame 4 should be fed frame 6 but is fed frame 7\n");
  expect_verdict(check_frames(fed, "a\nb\nx\nd\ne\n", 2), 1,
                 "decoded frame 3 should be fed frame 5 but is a picture that was never fed\n");
  expect_verdict(check_frames(fed, "a\nb\nc\nc\nd\ne\n", 2), 1);
  expect_verdict(check_frames(fed, "a\nb\nc\nd\n", 2), 1, "the last 1 of 7 fed frames were not decoded\n");
  expect_verdict(check_frames(fed, "c\nd\ne\n", 2), 1,
                 "the first 4 of 7 fed frames were not decoded (at most 2 may precede the stream's start)\n");
  expect_verdict(check_frames(fed, "", 2), 1);
}

TEST(DemoVerdict, AudioMayLackOnlyLessThanOnePacketAtTheEnd) {
  std::string fed;
  for (int i = 0; i < 64; ++i) fed += static_cast<char>('A' + i % 26) + std::to_string(i);
  const std::string from_lead = fed.substr(8);
  expect_verdict(check_bytes(fed, from_lead), 0);
  const Verdict waiting = check_bytes(fed, from_lead.substr(0, from_lead.size() - 15));
  expect_verdict(waiting, 0);
  EXPECT_NE(waiting.text.find("the last 15 wait in the sender"), std::string::npos) << waiting.text;
  expect_verdict(check_bytes(fed, from_lead.substr(0, from_lead.size() - 16)), 1);  // a whole packet missing

  std::string gap = from_lead;
  gap.erase(100, 16);
  const Verdict lost = check_bytes(fed, gap);
  expect_verdict(lost, 1);
  EXPECT_EQ(lost.text.rfind("received byte 101 of", 0), 0u) << lost.text;
  expect_verdict(check_bytes(fed, fed.substr(20)), 1);  // started after the lead
}

TEST(DemoVerdict, MetadataMustBeWholeCopiesOfTheDeliveredDocument) {
  const std::string doc = "<?xml version=\"1.0\"?>\n<tt:MetadataStream>event</tt:MetadataStream>\n";
  write("/tmp/doc.xml", doc);
  const auto documents = [](const std::string& got) {
    write("/tmp/got.xml", got);
    return check({"documents", "/tmp/doc.xml", "/tmp/got.xml"});
  };
  expect_verdict(documents(doc + doc + doc), 0, "3 documents received, each identical to the delivered one\n");
  const Verdict cut = documents(doc + doc.substr(0, 30) + doc);
  expect_verdict(cut, 1);
  EXPECT_EQ(cut.text.rfind("document 2 differs", 0), 0u) << cut.text;
  expect_verdict(documents(""), 1);
}

std::string media_dir() {
  static const std::string dir = [] {
    const std::string d = std::string(AVTD_BIN_DIR) + "/../test-media";
    const auto r = harness::run({"sh", harness::source_path("scripts/demo/media.sh"), d}, 300s);
    EXPECT_EQ(r.status.code(), 0) << r.err;
    return d;
  }();
  return dir;
}

std::vector<std::string> stream_args(const std::string& codec, int seconds, std::vector<std::string> flags = {},
                                     const std::string& script = "stream.sh") {
  std::vector<std::string> args = {"bash",  harness::source_path("scripts/demo/" + script),
                                   "--bin", AVTD_BIN_DIR,
                                   "--media", media_dir(),
                                   "--out", kOut,
                                   "--codec", codec,
                                   "--seconds", std::to_string(seconds)};
  args.insert(args.end(), flags.begin(), flags.end());
  return args;
}

// Width and height from a PNG's header, or {0, 0} when it is none.
std::pair<uint32_t, uint32_t> png_size(const std::string& path) {
  const std::string data = harness::read_file(path).value_or("");
  if (data.size() < 24 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
  const toolkit::Bytes bytes(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  return {toolkit::be32(bytes, 16), toolkit::be32(bytes, 20)};
}

// Names of the processes a run starts that are still there.
std::vector<std::string> leftovers() {
  static const std::vector<std::string> ours = {"avtd", "ffmpeg", "frame-feeder", "mini-sessiond", "mini-eventd",
                                                "rtp-probe", "tcp-handoff", "perl", "nsenter", "avtd-rtspd"};
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string comm = harness::read_file(entry.path().string() + "/comm").value_or("");
    const std::string name = comm.substr(0, comm.find('\n'));
    const std::string state = harness::read_file(entry.path().string() + "/stat").value_or("");
    const bool zombie = state.find(") Z") != std::string::npos;
    if (!zombie && std::find(ours.begin(), ours.end(), name) != ours.end()) found.push_back(name);
  }
  for (const auto& entry : fs::directory_iterator("/tmp")) {
    if (entry.path().filename().string().rfind("demo.", 0) == 0) found.push_back(entry.path().string());
  }
  for (const auto& entry : fs::directory_iterator("/run")) {
    if (entry.path().filename().string().rfind("avtd_", 0) == 0) found.push_back(entry.path().string());
  }
  return found;
}

// One short run that must be judged intact and leave nothing running.
harness::RunResult expect_intact(const std::string& codec, std::vector<std::string> flags = {}) {
  fs::remove_all(kOut);
  const auto r = harness::run(stream_args(codec, 2, flags), 120s);
  EXPECT_EQ(r.status.code(), 0) << r.out << r.err;
  EXPECT_NE(r.out.find("RESULT: the stream arrived intact"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("daemon    exit status 0 after SIGTERM"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("rtp-probe clean"), std::string::npos) << r.out;
  EXPECT_NE(harness::read_file(std::string(kOut) + "/summary.txt").value_or("").find("arrived intact"),
            std::string::npos);
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
  // The numbers add up: every progress field filled; what was decoded is
  // what the comparison counts; on this loss-free link every datagram sent
  // arrived; the daemon, stopped before its source, logged no error.
  const std::regex progress(R"(^ *[0-9]+ s \| fed [0-9]+ [a-z]+ \| sent [0-9]+ [A-Za-z ]+ \| received [0-9]+ packets, -?[0-9]+ kbit/s, [0-9]+ SR \| [a-z]+ [0-9.]+ [a-z ]+$)");
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" s | fed ") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(line, progress)) << line;
    }
  }
  std::smatch m;
  if (std::regex_search(r.out, m, std::regex(R"(decoded   ([0-9]+) frames)"))) {
    EXPECT_NE(r.out.find("compared  all " + m[1].str() + " decoded frames"), std::string::npos) << r.out;
  }
  if (std::regex_search(r.out, m, std::regex(R"(sent ([0-9]+) RTP datagrams on eth0; received ([0-9]+) RTP packets)"))) {
    EXPECT_EQ(m[1].str(), m[2].str()) << r.out;
  } else {
    EXPECT_NE(r.out.find("TCP segments carrying them"), std::string::npos) << r.out;
  }
  std::istringstream syslog(harness::read_file(std::string(kOut) + "/syslog.txt").value_or(""));
  for (std::string line; std::getline(syslog, line);) {
    int priority = 7;
    std::sscanf(line.c_str(), "<%d>", &priority);
    EXPECT_GT(priority % 8, 3) << "an error in the syslog of a good run: " << line;
  }
  return r;
}

TEST(DemoRun, H264ArrivesIntactOverEveryTransportWithItsPictures) {
  for (const std::vector<std::string>& flags :
       {std::vector<std::string>{}, {"--ipv6"}, {"--multicast"}, {"--ipv6", "--multicast"}, {"--tcp"}}) {
    std::string name = "IPv4 unicast";
    for (size_t i = 0; i < flags.size(); ++i) name = (i ? name + " " : "") + flags[i];
    SCOPED_TRACE(name);
    expect_intact("h264", flags);
    EXPECT_EQ(png_size(std::string(kOut) + "/snapshot.png"), std::make_pair(320u, 240u));
    // Twelve pictures of 160 x 120 in a 4 x 3 tile with their borders.
    EXPECT_EQ(png_size(std::string(kOut) + "/contact-sheet.png"), std::make_pair(660u, 376u));
    EXPECT_NE(harness::read_file(std::string(kOut) + "/stream.sdp").value_or("").find("a=rtpmap:96 H264/90000"),
              std::string::npos);
  }
}

TEST(DemoRun, EveryOtherCodecArrivesIntact) {
  for (const char* codec : {"jpeg", "mpeg4"}) {
    SCOPED_TRACE(codec);
    expect_intact(codec);
    EXPECT_EQ(png_size(std::string(kOut) + "/snapshot.png"), std::make_pair(320u, 240u));
  }
  {
    SCOPED_TRACE("ulaw");
    const auto r = expect_intact("ulaw");
    EXPECT_NE(r.out.find("received bytes are fed bytes"), std::string::npos) << r.out;
    EXPECT_EQ(harness::read_file(std::string(kOut) + "/received.wav").value_or("").compare(0, 4, "RIFF"), 0);
    EXPECT_EQ(png_size(std::string(kOut) + "/waveform.png"), std::make_pair(960u, 240u));
  }
  {
    SCOPED_TRACE("metadata");
    const auto r = expect_intact("metadata", {"--tcp"});
    EXPECT_NE(r.out.find("first document received:\n<?xml"), std::string::npos) << r.out;
    EXPECT_NE(harness::read_file(std::string(kOut) + "/first-document.xml").value_or("").find("MotionAlarm"),
              std::string::npos);
  }
}

TEST(DemoRun, DaemonKilledMidStreamFailsTheRunAndItStillCleansUp) {
  fs::remove_all(kOut);
  harness::Process demo(stream_args("h264", 6));
  ASSERT_TRUE(demo.wait_out(" s | fed ", 30s)) << demo.out() << demo.err();
  const auto pid = harness::read_pid_file("/run/avtd_1.pid", 5s);
  ASSERT_TRUE(pid.has_value()) << demo.out();
  ASSERT_EQ(kill(*pid, SIGKILL), 0);
  EXPECT_EQ(demo.wait(60s).code(), 1) << demo.out() << demo.err();
  EXPECT_NE(demo.out().find("RESULT: the stream did NOT arrive intact"), std::string::npos) << demo.out();
  EXPECT_NE(demo.out().find("daemon    exit status 137 when it ended by itself"), std::string::npos) << demo.out();
  EXPECT_TRUE(fs::exists(std::string(kOut) + "/logs/FFMPEG.err")) << "a failed run keeps its logs";
  // A daemon killed outright leaves its pid file; nothing else stays.
  fs::remove("/run/avtd_1.pid");
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST(DemoScript, RefusesWithoutRootAndOnConflictingOptions) {
  const std::string demo = harness::source_path("scripts/demo.sh");
  const auto unprivileged = harness::run(
      {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "bash", demo, "--seconds", "3"}, 20s);
  EXPECT_EQ(unprivileged.status.code(), 1) << unprivileged.err;
  EXPECT_NE(unprivileged.err.find("demo.sh needs root"), std::string::npos) << unprivileged.err;
  EXPECT_NE(unprivileged.err.find("--seconds 3"), std::string::npos) << "says how to run it again";

  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--tcp", "--multicast"}, {"--codec", "vp8"}, {"--seconds", "0"}, {"--bogus"}}) {
    std::vector<std::string> argv = {"bash", demo};
    argv.insert(argv.end(), options.begin(), options.end());
    const auto r = harness::run(argv, 20s);
    EXPECT_EQ(r.status.code(), 2) << options[0] << ": " << r.err;
  }
}

// FFmpeg as an RTSP client of avtd-rtspd, over each transport.
TEST(DemoRun, RtspPlayerGetsTheStreamIntactOverEveryTransport) {
  for (const char* transport : {"--udp", "--tcp", "--multicast"}) {
    SCOPED_TRACE(transport);
    fs::remove_all(kOut);
    std::vector<std::string> flags;
    if (std::string(transport) != "--udp") flags.push_back(transport);
    const auto r = harness::run(stream_args("h264", 2, flags, "rtsp.sh"), 120s);
    EXPECT_EQ(r.status.code(), 0) << r.out << r.err;
    EXPECT_NE(r.out.find("RESULT: the stream arrived intact"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("daemon     exit status 0, after the player's TEARDOWN"), std::string::npos) << r.out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

}  // namespace
