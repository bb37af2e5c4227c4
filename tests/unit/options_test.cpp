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

  // The usage text as the parser shows it.
  static std::string usage_text() {
    char name[] = "avtd";
    char* argv[] = {name, nullptr};
    ::testing::internal::CaptureStderr();
    show_usage(argv);
    return ::testing::internal::GetCapturedStderr();
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
  const auto kind = [&] { return num(thread->payload) + "/" + num(thread->channel); };
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
      // The datatype sets payload and channel; a repeated one recomputes both.
      {{"--datatype=h264(1)"}, kind, num(kPayloadH264) + "/1"},
      {{"--datatype=jpeg(7)"}, kind, num(kPayloadJpeg) + "/3"},
      {{"--datatype=ulaw(2)"}, kind, num(kPayloadUlaw) + "/0"},
      {{"--datatype=mpeg4(-1)"}, kind, num(kPayloadMpeg4) + "/3"},
      {{"--datatype=onvif_motion(2)"}, kind, num(kPayloadMetadata) + "/2"},
      {{"--datatype=h264_main"}, kind, num(kPayloadH264) + "/0"},
      {{"--datatype=h264(2)", "--datatype=ulaw"}, kind, num(kPayloadUlaw) + "/0"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.args.back());
    ASSERT_EQ(parse(r.args).status, 0);
    EXPECT_EQ(r.field(), r.expected);
  }
}

// Each refusal ends with its reason on standard error, after the usage text
// where that is shown.
TEST_F(Options, RefusedValuesSayWhyAfterTheUsageTextWhereItIsShown) {
  struct row {
    std::vector<std::string> args;
    bool usage;
    std::string reason;
  };
  const std::string v4 = "not an IPv4 or IPv6 address (host names are not looked up)";
  const std::vector<row> rows = {
      {{"--dstport=65535"}, true, "invalid dst port [65535]: 0..65534"},
      {{"--dstport=12x"}, true, "invalid dst port [12x]: 0..65534"},
      {{"--dstport="}, true, "invalid dst port []: 0..65534"},
      {{"--dstport=-1"}, true, "invalid dst port [-1]: 0..65534"},
      {{"--srcport=65535"}, true, "invalid src port [65535]: 0..65534"},
      {{"--srcport=7a"}, true, "invalid src port [7a]: 0..65534"},
      {{"--ttl=256"}, true, "invalid ttl [256]: 0..255"},
      {{"--ttl=-1"}, true, "invalid ttl [-1]: 0..255"},
      {{"--tos=256"}, true, "invalid tos [256]: 0..255"},
      {{"--tos=1.5"}, true, "invalid tos [1.5]: 0..255"},
      {{"--session_id=12x"}, true, "invalid session_id [12x]: a whole number"},
      {{"--session_id="}, true, "invalid session_id []: a whole number"},
      {{"--log=8"}, true, "invalid log [8]: 0..7"},
      {{"--log=-1"}, true, "invalid log [-1]: 0..7"},
      {{"--log=x"}, true, "invalid log [x]: 0..7"},
      {{"--help"}, true, ""},
      {{"-h"}, true, "short options are not accepted (-h); every option is a long one"},
      {{"-t", "5"}, true, "short options are not accepted (-t); every option is a long one"},
      {{"--bogus"}, true, "unknown option --bogus"},
      {{"--d=1"}, true, "ambiguous option --d=1"},
      {{"--dstport"}, true, "option --dstport needs a value"},
      {{"--enable-sdplay=1"}, true, "option --enable-sdplay takes no value"},
      {{"--device=nosuchif0"}, true, "invalid device [nosuchif0]: no such interface"},
      {{"--framerate=0"}, false, "invalid framerate [0]: -60..-1 or 1..30"},
      {{"--framerate=31"}, false, "invalid framerate [31]: -60..-1 or 1..30"},
      {{"--framerate=-61"}, false, "invalid framerate [-61]: -60..-1 or 1..30"},
      {{"--framerate=abc"}, false, "invalid framerate [abc]: -60..-1 or 1..30"},
      {{"--host=127.0.0.1"}, false,
       "invalid host [127.0.0.1]: an IPv4 address no stream can go to (0.x, 127.x or a reserved edge)"},
      {{"--host=::1"}, false, "invalid host [::1]: not an IPv6 address a stream can go to (:: and ::1 cannot)"},
      {{"--host=camera.local"}, false, "invalid host [camera.local]: " + v4},
      {{"--host=10.0.0.5x"}, false, "invalid host [10.0.0.5x]: " + v4},
      {{"--host="}, false, "invalid host []: " + v4},
      {{"--datatype=vp8"}, false, "invalid datatype [vp8]: jpeg, h264, mpeg4, ulaw or onvif_motion"},
      {{"--payload_type=rfc"}, false, "invalid payload_type [rfc]: standard or xmsp"},
      {{"--protocol=udp"}, false, "invalid protocol [udp]: rtp_udp or rtp_tcp"},
      {{"--protocol=rtp_tcp"}, false, "--protocol=rtp_tcp needs --interleaved=A-B"}, // no interleaved channels
  };
  const std::string usage = usage_text();
  const int mask = setlogmask(0);
  for (const row& r : rows) {
    SCOPED_TRACE(r.args.back());
    const parse_result got = parse(r.args);
    EXPECT_EQ(got.status, -1);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, (r.usage ? usage : "") + (r.reason.empty() ? "" : "avtd: " + r.reason + "\n"));
  }
  EXPECT_EQ(setlogmask(0), mask) << "a refused level leaves the mask alone";
}

TEST_F(Options, MissingMandatoryOptionPrintsTooFewThenUsage) {
  const std::string usage = usage_text();
  for (size_t skip = 0; skip < kComplete.size(); ++skip) {
    std::vector<std::string> args = kComplete;
    args.erase(args.begin() + static_cast<long>(skip));
    const parse_result r = parse(args, false);
    const std::string name = kComplete[skip].substr(0, kComplete[skip].find('='));
    EXPECT_EQ(r.status, -1) << name;
    EXPECT_EQ(r.out, "too few option\n") << name;
    EXPECT_EQ(r.err, usage + "avtd: required option missing: " + name + "\n") << name;
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
