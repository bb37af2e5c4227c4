// The daemon and its local peers: registration with the session daemon,
// the stand-in session daemon itself, and the hand-over of a TCP
// connection for interleaved streaming.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "daemon_runs.h"
#include "harness/harness.h"
#include "platform/session.h"

namespace {

using namespace harness;
using namespace daemon_runs;

constexpr auto kShutdownWait = 20s;
// A metadata stream without an event service is in its open retries for
// about twenty seconds before its thread can be joined.
constexpr auto kMetadataShutdownWait = 40s;
constexpr char kLog[] = "/tmp/sessiond.log";

// Other codecs, channels, IPv6 hosts and negative rates are checked byte
// for byte in the unit test of the record.
TEST(Registration, RecordReachesSessionDaemon) {
  Process sessiond = start_sessiond(kLog);
  const RunResult launched = launch(stream_args({"--framerate=7", "--bitrate=2000"}));
  ASSERT_EQ(launched.status.code(), 0);
  const auto pid = read_pid_file("/var/run/avtd_1.pid", 10s);
  ASSERT_TRUE(pid.has_value());
  EXPECT_TRUE(wait_log_line(
      kLog,
      R"({"op":"add","session_id":1,"channel":0,"codec":"h264","host":"198.51.100.2","dstport":5000,"framerate":7.5,"bitrate":2000})"));
  EXPECT_TRUE(wait_udp_port_bound(1027, 10s)) << "it runs before it is stopped";
  kill(*pid, SIGTERM);
  EXPECT_EQ(wait_exit(*pid, kShutdownWait).code(), 0);
  EXPECT_TRUE(wait_log_line(kLog, R"({"op":"remove","session_id":1})"));
}

TEST(Registration, RefusedOrMissingSessionDaemonExitsFive) {
  {
    Process sessiond = start_sessiond(kLog, {"--refuse"});
    ASSERT_EQ(launch(stream_args()).status.code(), 0);
    EXPECT_EQ(wait_forked_exit({sessiond.pid()}).code(), 5);
    EXPECT_TRUE(wait_syslog_regex(unit_line("session", "add_sesion error")));
    EXPECT_TRUE(wait_syslog_regex(unit_line("main", "add_session error")));
    sessiond.signal(SIGTERM);
    EXPECT_EQ(sessiond.wait().code(), 0);
    EXPECT_EQ(log_lines(kLog).size(), 1u) << "no removal after a refused registration";
  }
  ASSERT_FALSE(wait_for_file("/tmp/session", 0ms));
  const size_t mark = syslog_mark();
  ASSERT_EQ(launch(stream_args()).status.code(), 0);
  EXPECT_EQ(wait_forked_exit().code(), 5);
  EXPECT_TRUE(wait_syslog("add_sesion error", 5s, mark));
  EXPECT_FALSE(wait_for_file("/var/run/avtd_-1.pid", 0ms));
}

TEST(Registration, MetadataStreamIsNeitherRegisteredNorRemoved) {
  Process sessiond = start_sessiond(kLog);
  ASSERT_EQ(launch(stream_args({"--datatype=onvif_motion"})).status.code(), 0);
  const auto pid = read_pid_file("/var/run/avtd_metadata_-1.pid", 10s);
  ASSERT_TRUE(pid.has_value());
  EXPECT_TRUE(wait_udp_port_bound((-1 + 512) * 2 + 1, 10s));
  kill(*pid, SIGTERM);
  EXPECT_EQ(wait_exit(*pid, kMetadataShutdownWait).code(), 0);
  EXPECT_TRUE(log_lines(kLog).empty());
}

TEST(Registration, SessionDaemonAnswersEveryRequest) {
  Process sessiond = start_sessiond(kLog, {"--framerate", "25"});
  session_info info{};
  info.channel = 3;
  std::strcpy(info.codec, "ulaw");
  std::strcpy(info.host, "239.1.2.3");
  info.dstport = 7000;
  info.framerate = 30.0f;
  info.bitrate = 64;
  ASSERT_EQ(s_udp_add_session(&info), 0);
  EXPECT_EQ(info.session_id, 1);
  ASSERT_EQ(s_udp_add_session(&info), 0);
  EXPECT_EQ(info.session_id, 2);
  EXPECT_EQ(s_update_session(1, 4800), 0);
  EXPECT_EQ(s_remove_session(1), 0);
  EXPECT_LT(s_remove_session(1), 0) << "already removed";
  EXPECT_LT(s_update_session(9, 1), 0) << "never registered";

  const int fd = s_create_client_socket();
  ASSERT_GE(s_connect_serv(fd, kSessionServicePath), 0);
  const uint32_t query[2] = {4, kSessionFrameRateQuery};
  ASSERT_GE(s_write_data(fd, query, sizeof query), 0);
  uint32_t n = 0;
  ASSERT_GE(s_read_data(fd, &n, 4), 0);
  std::string text(n, '\0');
  ASSERT_GE(s_read_data(fd, text.data(), static_cast<int>(n)), 0);
  close(fd);
  EXPECT_EQ(text, "25");

  EXPECT_EQ(s_remove_session(2), 0);

  sessiond.signal(SIGTERM);
  EXPECT_EQ(sessiond.wait().code(), 0);
  EXPECT_FALSE(wait_for_file(kSessionServicePath, 0ms)) << "socket removed on exit";
  EXPECT_EQ(log_lines(kLog),
            (std::vector<std::string>{
                R"({"op":"add","session_id":1,"channel":3,"codec":"ulaw","host":"239.1.2.3","dstport":7000,"framerate":30,"bitrate":64})",
                R"({"op":"add","session_id":2,"channel":3,"codec":"ulaw","host":"239.1.2.3","dstport":7000,"framerate":30,"bitrate":64})",
                R"({"op":"update","session_id":1,"bitrate":4800})",
                R"({"op":"remove","session_id":1})",
                R"({"op":"remove","session_id":1})",
                R"({"op":"update","session_id":9,"bitrate":1})",
                R"({"op":"framerate","reply":25})",
                R"({"op":"remove","session_id":2})",
            }));
}

// The connection the daemon streams on is the one the receiver accepted.
void hand_over_and_stream(const std::string& peer_address, const std::string& connect_text_prefix,
                          const std::string& connect_text_suffix, const std::string& session = "3") {
  TcpListener listener(peer_address, 0);
  const std::string target = connect_text_prefix + std::to_string(listener.port()) + connect_text_suffix;
  Process handoff({bin("tcp-handoff"), "--session", session, "--connect", target, "--timeout", "20"});
  Fd accepted = listener.accept(10s);
  ASSERT_TRUE(accepted) << handoff.err();

  ASSERT_EQ(launch(stream_args({"--protocol=rtp_tcp", "--interleaved=4-5", "--session_id=" + session,
                                "--srcport=7000"}))
                .status.code(),
            0);
  const auto pid = read_pid_file("/var/run/avtd_" + session + ".pid", 10s);
  ASSERT_TRUE(pid.has_value());
  EXPECT_EQ(handoff.wait(15s).code(), 0) << handoff.err();
  EXPECT_FALSE(wait_for_file("/tmp/rtp_over_http_sock_" + session, 0ms));
  EXPECT_TRUE(process_alive(*pid));
  // The stream thread runs (still looking for its frame store): a signal
  // now is the first one of a running stream.
  EXPECT_TRUE(wait_syslog("shm_attach error", 10s));

  kill(*pid, SIGTERM);
  EXPECT_EQ(wait_exit(*pid, kShutdownWait).code(), 0);
  EXPECT_EQ(syslog_count("recv socket error"), 0u);
  // The daemon held the last copy: the receiver now sees the end of the
  // stream (after whatever the daemon sent on it).
  pollfd p{accepted.get(), POLLIN, 0};
  bool ended = false;
  for (int i = 0; i < 100 && !ended && poll(&p, 1, 1000) == 1; ++i) {
    char buf[4096];
    ended = recv(accepted.get(), buf, sizeof buf, 0) <= 0;
  }
  EXPECT_TRUE(ended);
}

TEST(TcpHandoff, DaemonTakesOverTheReceiversConnection) { hand_over_and_stream(kPeerIpv4, "198.51.100.2:", ""); }

// The longest session id names the socket and the pid file in full.
TEST(TcpHandoff, BracketedIpv6TargetAndTheLongestSessionId) {
  hand_over_and_stream(kPeerIpv6, "[2001:db8::2]:", "", "-2147483648");
}

TEST(TcpHandoff, GivesUpWithoutTakerAndRefusesBadTargets) {
  TcpListener listener(kPeerIpv4, 0);
  Process handoff(
      {bin("tcp-handoff"), "--session", "8", "--connect", "198.51.100.2:" + std::to_string(listener.port()),
       "--timeout", "1"});
  EXPECT_TRUE(wait_for_file("/tmp/rtp_over_http_sock_8"));
  EXPECT_NE(handoff.wait(10s).code(), 0);
  EXPECT_FALSE(wait_for_file("/tmp/rtp_over_http_sock_8", 0ms));

  for (const std::string bad : {"198.51.100.2", "198.51.100.2:0", "host.example:80", "[2001:db8::2:80"}) {
    EXPECT_EQ(run({bin("tcp-handoff"), "--session", "8", "--connect", bad}).status.code(), 2) << bad;
  }
  EXPECT_EQ(run({bin("tcp-handoff"), "--connect", "198.51.100.2:80"}).status.code(), 2) << "no session";
}

} // namespace
