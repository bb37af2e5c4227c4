// Command-line parsing: what a complete command line yields, and which
// values are refused with or without the usage text.
#include <gtest/gtest.h>
#include <syslog.h>

#include <functional>
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
  // Parses `args` (the complete command line with `extra` appended when
  // `complete`; later options win) into a fresh pair of records.
  parse_result parse(std::vector<std::string> extra, bool complete = true) {
    thread = std::make_unique<rtp_thread>();
    rtcp = std::make_unique<rtcp_thread>();
    thread->session_id = -1;
    rtcp->interleaved = 1;
    std::vector<std::string> args = {"avtd"};
    if (complete) args.insert(args.end(), kComplete.begin(), kComplete.end());
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = analyze_options(static_cast<int>(args.size()), argv.data(), thread.get(), rtcp.get());
    std::string out = ::testing::internal::GetCapturedStdout();
    return {status, out, ::testing::internal::GetCapturedStderr()};
  }

  std::unique_ptr<rtp_thread> thread;
  std::unique_ptr<rtcp_thread> rtcp;
};

TEST_F(Options, CompleteUdpCommandLineTakesDefaults) {
  const parse_result r = parse({});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(thread->payload, kPayloadJpeg);
  EXPECT_EQ(thread->channel, 0);
  EXPECT_EQ(thread->ns.srcport, 0u);
  EXPECT_EQ(thread->ns.protocol, kProtocolUdp);
  EXPECT_EQ(rtcp->ns.protocol, kProtocolUdp);
  EXPECT_EQ(thread->timeout, 60);
  EXPECT_EQ(thread->session_id, -1);
  EXPECT_EQ(thread->interleaved, 0);
  EXPECT_EQ(rtcp->interleaved, 1);
}

TEST_F(Options, AcceptedValuesReachTheStreamRecord) {
  const auto num = [](auto v) { return std::to_string(v); };
  struct row {
    std::vector<std::string> args;
    std::function<std::string()> field;
    std::string expected;
  };
  const std::vector<row> rows = {
      {{"--dstport=65534"}, [&] { return num(thread->ns.dstport); }, "65534"},
      {{"--dstport=0"}, [&] { return num(thread->ns.dstport); }, "0"},
      {{"--dst=6000"}, [&] { return num(thread->ns.dstport); }, "6000"}, // a unique prefix
      {{"--srcport=65534"}, [&] { return num(thread->ns.srcport); }, "65534"},
      {{"--ttl=255"}, [&] { return num(thread->ns.ttl); }, "255"},
      {{"--ttl=0"}, [&] { return num(thread->ns.ttl); }, "0"},
      {{"--session_id=-3"}, [&] { return num(thread->session_id); }, "-3"},
      {{"--framerate=-60"}, [&] { return num(thread->framerate); }, "-60"},
      {{"--framerate=30"}, [&] { return num(thread->framerate); }, "30"},
      {{"--framerate=25fps"}, [&] { return num(thread->framerate); }, "25"},
      {{"--bitrate=2000kbit"}, [&] { return num(thread->bitrate); }, "2000"},
      {{"--timeout=15s"}, [&] { return num(thread->timeout); }, "15"},
      {{"--payload_type=xmsp"}, [&] { return num(thread->payload_type); }, "1"},
      {{"--host=239.1.1.1"}, [&] { return std::string(thread->ns.host); }, "239.1.1.1"},
      {{"--host=ff02::1"}, [&] { return std::string(thread->ns.host); }, "ff02::1"},
      {{"--host=2001:db8::2"}, [&] { return std::string(thread->ns.host); }, "2001:db8::2"},
      {{"--host=255.255.255.255"}, [&] { return std::string(thread->ns.host); }, "255.255.255.255"},
      // Interleaving without a separator keeps the first number and the
      // default RTCP channel.
      {{"--protocol=rtp_tcp", "--interleaved=2-3"},
       [&] { return num(thread->ns.protocol == kProtocolTcp && rtcp->ns.protocol == kProtocolTcp) +
                    num(thread->interleaved) + num(rtcp->interleaved); }, "123"},
      {{"--protocol=rtp_tcp", "--interleaved=4"}, [&] { return num(thread->interleaved) + num(rtcp->interleaved); }, "41"},
      {{"--protocol=rtp_tcp", "--interleaved=-2-5"}, [&] { return num(thread->interleaved) + num(rtcp->interleaved); }, "-25"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.args.back());
    ASSERT_EQ(parse(r.args).status, 0);
    EXPECT_EQ(r.field(), r.expected);
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
                               expectation{"h264_main", kPayloadH264, 0}}) {
    ASSERT_EQ(parse({std::string("--datatype=") + e.arg}).status, 0) << e.arg;
    EXPECT_EQ(thread->payload, e.payload) << e.arg;
    EXPECT_EQ(thread->channel, e.channel) << e.arg;
  }
  // A repeated datatype recomputes both.
  ASSERT_EQ(parse({"--datatype=h264(2)", "--datatype=ulaw"}).status, 0);
  EXPECT_EQ(thread->payload, kPayloadUlaw);
  EXPECT_EQ(thread->channel, 0);
}

TEST_F(Options, RefusedValuesFailWithTheUsageTextOnlyWhereItIsShown) {
  struct row {
    std::vector<std::string> args;
    bool usage;
  };
  const std::vector<row> rows = {
      {{"--dstport=65535"}, true}, {{"--dstport=12x"}, true},      {{"--dstport="}, true},
      {{"--dstport=-1"}, true},    {{"--srcport=65535"}, true},    {{"--srcport=7a"}, true},
      {{"--ttl=256"}, true},       {{"--ttl=-1"}, true},           {{"--tos=256"}, true},
      {{"--tos=1.5"}, true},       {{"--session_id=12x"}, true},   {{"--session_id="}, true},
      {{"--log=8"}, true},         {{"--log=-1"}, true},           {{"--log=x"}, true},
      {{"--help"}, true},          {{"-h"}, true},                 {{"-t", "5"}, true},
      {{"--bogus"}, true},         {{"--d=1"}, true},              {{"--dstport"}, true},
      {{"--enable-sdplay=1"}, true}, {{"--device=nosuchif0"}, true},
      {{"--framerate=0"}, false},  {{"--framerate=31"}, false},    {{"--framerate=-61"}, false},
      {{"--framerate=abc"}, false}, {{"--host=127.0.0.1"}, false}, {{"--host=::1"}, false},
      {{"--host=camera.local"}, false}, {{"--host=10.0.0.5x"}, false}, {{"--host="}, false},
      {{"--datatype=vp8"}, false}, {{"--payload_type=rfc"}, false}, {{"--protocol=udp"}, false},
      {{"--protocol=rtp_tcp"}, false}, // no interleaved channels
  };
  const int mask = setlogmask(0);
  for (const row& r : rows) {
    SCOPED_TRACE(r.args.back());
    const parse_result got = parse(r.args);
    EXPECT_EQ(got.status, -1);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, r.usage ? kUsage : "");
  }
  EXPECT_EQ(setlogmask(0), mask) << "a refused level leaves the mask alone";
}

TEST_F(Options, MissingMandatoryOptionPrintsTooFewThenUsage) {
  for (size_t skip = 0; skip < kComplete.size(); ++skip) {
    std::vector<std::string> args = kComplete;
    args.erase(args.begin() + static_cast<long>(skip));
    const parse_result r = parse(args, false);
    EXPECT_EQ(r.status, -1) << kComplete[skip];
    EXPECT_EQ(r.out, "too few option\n") << kComplete[skip];
    EXPECT_EQ(r.err, kUsage) << kComplete[skip];
  }
}

TEST_F(Options, LogLevelNarrowsTheSyslogMask) {
  const int before = setlogmask(0);
  ASSERT_EQ(parse({"--log=3"}).status, 0);
  EXPECT_EQ(setlogmask(0), LOG_UPTO(LOG_ERR));
  EXPECT_EQ(chosen_log_mask(), 0x0F);
  ASSERT_EQ(parse({"--log=7"}).status, 0);
  EXPECT_EQ(chosen_log_mask(), 0xFF);
  setlogmask(before);
}

} // namespace
