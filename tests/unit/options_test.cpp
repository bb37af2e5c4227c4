// Command-line parsing: what a complete command line yields, and which
// values are refused with or without the usage text.
#include <gtest/gtest.h>
#include <syslog.h>

#include <memory>
#include <string>
#include <vector>

#include "daemon/options.h"
#include "net/network.h"
#include "stream/rtcp_thread.h"
#include "stream/rtp_thread.h"

namespace {

const char kUsage[] =
    "usage: avtd \n"
    "[--encode=<jpeg, mpeg4, ulaw>] --bitrate=(64-24000)\n"
    "[--host=<ip address>] [--port=(1-65535)] [--ttl=(1-255)]\n"
    "[--tos=(0-255)] [--framerate=(NTSC:-30-30, PAL:-30-25)]\n"
    "[--device=eth0] [--log=(0-7)] [--help]\n";

const std::vector<std::string> kComplete = {"--datatype=jpeg", "--host=10.0.0.5", "--dstport=5000", "--ttl=64",
                                            "--tos=0",         "--device=lo",     "--protocol=rtp_udp"};

struct parse_result {
  int status;
  std::string out;
  std::string err;
};

class Options : public ::testing::Test {
protected:
  void SetUp() override { reset(); }

  void reset() {
    thread = std::make_unique<rtp_thread>();
    rtcp = std::make_unique<rtcp_thread>();
    thread->session_id = -1;
    rtcp->interleaved = 1;
  }

  parse_result parse(std::vector<std::string> args) {
    args.insert(args.begin(), "avtd");
    std::vector<char*> argv;
    for (auto& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = analyze_options(static_cast<int>(args.size()), argv.data(), thread.get(), rtcp.get());
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    return {status, out, err};
  }

  // The complete command line with extra options appended (later ones win).
  parse_result parse_with(std::vector<std::string> extra) {
    std::vector<std::string> args = kComplete;
    args.insert(args.end(), extra.begin(), extra.end());
    reset();
    return parse(args);
  }

  std::unique_ptr<rtp_thread> thread;
  std::unique_ptr<rtcp_thread> rtcp;
};

TEST_F(Options, CompleteUdpCommandLineTakesDefaults) {
  const parse_result r = parse(kComplete);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(thread->payload, kPayloadJpeg);
  EXPECT_EQ(thread->channel, 0);
  EXPECT_STREQ(thread->ns.host, "10.0.0.5");
  EXPECT_EQ(thread->ns.dstport, 5000u);
  EXPECT_EQ(thread->ns.srcport, 0u);
  EXPECT_EQ(thread->ns.ttl, 64u);
  EXPECT_EQ(thread->ns.tos, 0u);
  EXPECT_STREQ(thread->ns.device, "lo");
  EXPECT_EQ(thread->ns.protocol, kProtocolUdp);
  EXPECT_EQ(rtcp->ns.protocol, kProtocolUdp);
  EXPECT_EQ(thread->timeout, 60);
  EXPECT_EQ(thread->session_id, -1);
  EXPECT_EQ(thread->interleaved, 0);
  EXPECT_EQ(rtcp->interleaved, 1);
}

TEST_F(Options, TcpNeedsBothInterleavedChannels) {
  parse_result r = parse_with({"--protocol=rtp_tcp"});
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.err, "") << "no usage text for a missing interleaved option";
  EXPECT_EQ(r.out, "");

  r = parse_with({"--protocol=rtp_tcp", "--interleaved=2-3"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(thread->ns.protocol, kProtocolTcp);
  EXPECT_EQ(rtcp->ns.protocol, kProtocolTcp);
  EXPECT_EQ(thread->interleaved, 2);
  EXPECT_EQ(rtcp->interleaved, 3);

  // No separator: logged, the first number kept, the RTCP channel default,
  // and interleaving still counts as given.
  r = parse_with({"--protocol=rtp_tcp", "--interleaved=4"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(thread->interleaved, 4);
  EXPECT_EQ(rtcp->interleaved, 1);

  r = parse_with({"--protocol=rtp_tcp", "--interleaved=-2-5"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(thread->interleaved, -2);
  EXPECT_EQ(rtcp->interleaved, 5);
}

TEST_F(Options, PortTtlAndTosOutOfRangeShowUsage) {
  for (const std::string bad : {"--dstport=65535", "--dstport=12x", "--dstport=", "--dstport=-1", "--srcport=65535",
                                "--srcport=7a", "--ttl=256", "--ttl=-1", "--tos=256", "--tos=1.5",
                                "--session_id=12x", "--session_id="}) {
    const parse_result r = parse_with({bad});
    EXPECT_EQ(r.status, -1) << bad;
    EXPECT_EQ(r.err, kUsage) << bad;
  }
  for (const std::string good : {"--dstport=65534", "--dstport=0", "--srcport=65534", "--ttl=255", "--ttl=0"}) {
    EXPECT_EQ(parse_with({good}).status, 0) << good;
  }
  ASSERT_EQ(parse_with({"--dstport=65534", "--srcport=1038", "--session_id=-3"}).status, 0);
  EXPECT_EQ(thread->ns.dstport, 65534u);
  EXPECT_EQ(thread->ns.srcport, 1038u);
  EXPECT_EQ(thread->session_id, -3);
}

TEST_F(Options, FramerateAcceptsNegativeAndUpToThirty) {
  for (const std::string bad : {"--framerate=0", "--framerate=31", "--framerate=-61", "--framerate=abc"}) {
    const parse_result r = parse_with({bad});
    EXPECT_EQ(r.status, -1) << bad;
    EXPECT_EQ(r.err, "") << bad;
  }
  for (const int good : {-60, -1, 1, 7, 30}) {
    ASSERT_EQ(parse_with({"--framerate=" + std::to_string(good)}).status, 0) << good;
    EXPECT_EQ(thread->framerate, good);
  }
  ASSERT_EQ(parse_with({"--framerate=25fps"}).status, 0);
  EXPECT_EQ(thread->framerate, 25);
}

TEST_F(Options, HostMustBeAUsableAddress) {
  for (const std::string bad : {"127.0.0.1", "0.1.2.3", "192.0.0.0", "1.0.0.0", "223.255.255.255", "::1", "::",
                                "camera.local", "10.0.0.5x", "", "2001:db8::zz"}) {
    const parse_result r = parse_with({"--host=" + bad});
    EXPECT_EQ(r.status, -1) << bad;
    EXPECT_EQ(r.err, "") << bad;
  }
  for (const std::string good : {"239.1.1.1", "ff02::1", "198.51.100.2", "2001:db8::2", "255.255.255.255"}) {
    ASSERT_EQ(parse_with({"--host=" + good}).status, 0) << good;
    EXPECT_EQ(std::string(thread->ns.host), good);
  }
}

TEST_F(Options, DatatypeSetsPayloadAndChannel) {
  struct expectation {
    const char* arg;
    int payload;
    int channel;
  };
  for (const expectation& e : {expectation{"h264(1)", kPayloadH264, 1}, expectation{"jpeg(7)", kPayloadJpeg, 3},
                               expectation{"ulaw(2)", kPayloadUlaw, 0}, expectation{"mpeg4(-1)", kPayloadMpeg4, 3},
                               expectation{"onvif_motion(2)", kPayloadMetadata, 2},
                               expectation{"h264_main", kPayloadH264, 0}, expectation{"mpeg4", kPayloadMpeg4, 0}}) {
    ASSERT_EQ(parse_with({std::string("--datatype=") + e.arg}).status, 0) << e.arg;
    EXPECT_EQ(thread->payload, e.payload) << e.arg;
    EXPECT_EQ(thread->channel, e.channel) << e.arg;
  }
  // A repeated datatype recomputes both.
  ASSERT_EQ(parse_with({"--datatype=h264(2)", "--datatype=ulaw"}).status, 0);
  EXPECT_EQ(thread->payload, kPayloadUlaw);
  EXPECT_EQ(thread->channel, 0);

  const parse_result r = parse_with({"--datatype=vp8"});
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.err, "");
}

TEST_F(Options, MissingMandatoryOptionPrintsTooFewThenUsage) {
  for (size_t skip = 0; skip < kComplete.size(); ++skip) {
    std::vector<std::string> args = kComplete;
    args.erase(args.begin() + static_cast<long>(skip));
    reset();
    const parse_result r = parse(args);
    EXPECT_EQ(r.status, -1) << kComplete[skip];
    EXPECT_EQ(r.out, "too few option\n") << kComplete[skip];
    EXPECT_EQ(r.err, kUsage) << kComplete[skip];
  }
}

TEST_F(Options, HelpShortLettersUnknownOptionsAndMissingDeviceShowUsage) {
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"-t", "5"}, {"--bogus"}, {"--d=1"}, {"--dstport"}, {"--enable-sdplay=1"},
           {"--device=nosuchif0"}}) {
    const parse_result r = parse_with(bad);
    EXPECT_EQ(r.status, -1) << bad[0];
    EXPECT_EQ(r.err, kUsage) << bad[0];
  }
}

TEST_F(Options, LogLevelNarrowsTheSyslogMask) {
  const int before = setlogmask(0);
  for (const std::string bad : {"--log=8", "--log=-1", "--log=x"}) {
    const parse_result r = parse_with({bad});
    EXPECT_EQ(r.status, -1) << bad;
    EXPECT_EQ(r.err, kUsage) << bad;
  }
  EXPECT_EQ(setlogmask(0), before) << "a refused level leaves the mask alone";
  ASSERT_EQ(parse_with({"--log=3"}).status, 0);
  EXPECT_EQ(setlogmask(0), LOG_UPTO(LOG_ERR));
  EXPECT_EQ(chosen_log_mask(), 0x0F);
  ASSERT_EQ(parse_with({"--log=7"}).status, 0);
  EXPECT_EQ(chosen_log_mask(), 0xFF);
  setlogmask(before);
}

TEST_F(Options, UncheckedNumbersTakeLeadingDigits) {
  ASSERT_EQ(parse_with({"--bitrate=2000kbit", "--timeout=15s", "--payload_type=xmsp", "--datatype=h264", "--dst=6000"})
                .status,
            0);
  EXPECT_EQ(thread->bitrate, 2000u);
  EXPECT_EQ(thread->timeout, 15);
  EXPECT_EQ(thread->payload_type, 1);
  EXPECT_EQ(thread->ns.dstport, 6000u) << "unique prefix";
  EXPECT_EQ(parse_with({"--payload_type=rfc"}).status, -1);
  EXPECT_EQ(parse_with({"--protocol=udp"}).status, -1);
}

} // namespace
