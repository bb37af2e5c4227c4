// Sender reports as the receiving host sees them: every five seconds to the
// next port pair, with the stream's SSRC, the clock's NTP time, and packet
// and octet counts equal to what arrived up to the report's RTP timestamp.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "engine_runs.h"

namespace {

using namespace harness;
using namespace engine_runs;

struct counted {
  uint32_t packets = 0;
  uint32_t octets = 0;
};
// What the receiver got up to (and including) a timestamp. Octets count
// whole packets as sent: the RTP header, and over TCP the '$' prefix too.
counted count_up_to(const std::vector<rtp_view>& packets, uint32_t timestamp, uint32_t head = 12) {
  counted c;
  for (const rtp_view& p : packets) {
    if (p.timestamp <= timestamp) {
      ++c.packets;
      c.octets += static_cast<uint32_t>(head + p.payload_size);
    }
  }
  return c;
}

// NTP time of a wall-clock instant, in seconds (as a double for comparison).
double ntp_of(std::chrono::system_clock::time_point t) {
  const double unix_seconds = std::chrono::duration<double>(t.time_since_epoch()).count();
  return std::fmod(unix_seconds + 2208988800.0, 4294967296.0);
}

} // namespace

TEST(EngineRtcp, ReportsEveryFiveSecondsFromSrcportPlusOneWithCountsTheReceiverCanCheck) {
  Process feeder = daemon_runs::start_mpeg4_feeder();
  UdpReceiver rtp(kPeerIpv4, kDstPort);
  UdpReceiver rtcp(kPeerIpv4, kDstPort + 1);
  const pid_t pid = start_stream(mpeg4_args(kPeerIpv4), pid_path_for(kPeerIpv4));
  ASSERT_GT(pid, 0);

  // Drain RTP all along, so that no datagram is lost to a full buffer.
  std::vector<rtp_view> packets;
  std::atomic<bool> stop{false};
  std::thread drain([&] {
    while (!stop.load()) {
      if (auto d = rtp.receive(200ms)) packets.push_back(view_rtp(d->data));
    }
  });

  struct arrival {
    sender_report_view report;
    Datagram datagram;
    std::chrono::system_clock::time_point wall;
  };
  std::vector<arrival> reports;
  for (int i = 0; i < 2; ++i) {
    auto d = rtcp.receive(8s);
    if (!d) break;
    const auto wall = std::chrono::system_clock::now() - (std::chrono::steady_clock::now() - d->at);
    arrival a{{}, *d, std::chrono::time_point_cast<std::chrono::system_clock::duration>(wall)};
    ASSERT_TRUE(view_report(d->data.data(), d->data.size(), a.report)) << d->data.size() << " bytes";
    reports.push_back(a);
  }
  EXPECT_EQ(stop_stream(pid), 0);
  std::this_thread::sleep_for(300ms);
  stop.store(true);
  drain.join();

  ASSERT_EQ(reports.size(), 2u) << syslog_dump();
  ASSERT_FALSE(packets.empty());
  const auto gap = reports[1].datagram.at - reports[0].datagram.at;
  EXPECT_GE(gap, 4500ms) << "one report per five seconds";
  for (const arrival& a : reports) {
    EXPECT_EQ(a.datagram.from, kLocalIpv4);
    EXPECT_EQ(a.datagram.from_port, kSrcPort + 1);
    EXPECT_EQ(a.report.ssrc, packets.front().ssrc);
    const double ntp = a.report.ntp_seconds + a.report.ntp_fraction / 4294967296.0;
    EXPECT_NEAR(ntp, ntp_of(a.wall), 0.5);
    const counted c = count_up_to(packets, a.report.rtp_timestamp);
    EXPECT_EQ(a.report.packets, c.packets);
    EXPECT_EQ(a.report.octets, c.octets);
    EXPECT_GT(a.report.packets, 0u);
  }
}

TEST(EngineRtcp, InterleavedReportsReachASlowReaderWholeAmongWholeRtpFramesAndCountWhatPrecededThem) {
  Process feeder = daemon_runs::start_mpeg4_feeder();
  TcpListener listener(kPeerIpv4, 0);
  // A small receive window, read slowly: both threads of the daemon keep
  // meeting a full connection.
  const int tiny = 2048;
  setsockopt(listener.fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
  Process handoff({bin("tcp-handoff"), "--session", "3", "--connect",
                   std::string(kPeerIpv4) + ":" + std::to_string(listener.port()), "--timeout", "20"});
  Fd connection = listener.accept(10s);
  ASSERT_TRUE(connection) << handoff.err();
  const pid_t pid = start_stream(mpeg4_args(kPeerIpv4, {"--protocol=rtp_tcp", "--interleaved=2-3", "--session_id=3"}),
                                 "/var/run/avtd_3.pid");
  ASSERT_GT(pid, 0);

  // Read for about seven seconds: one report is due after five.
  bytes stream;
  const auto until = std::chrono::steady_clock::now() + 7s;
  while (std::chrono::steady_clock::now() < until) {
    const bytes piece = read_some(connection.get(), 300, 1s); // slower than the stream
    stream.insert(stream.end(), piece.begin(), piece.end());
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(stop_stream(pid), 0);

  const framed f = split_frames(stream);
  ASSERT_TRUE(f.whole);
  std::vector<rtp_view> packets;
  int reports = 0;
  for (const frame& fr : f.frames) {
    if (fr.channel == 2) {
      packets.push_back(view_rtp(fr.body));
      if (packets.size() > 1) EXPECT_EQ(static_cast<uint16_t>(packets.back().seq - packets[packets.size() - 2].seq), 1);
      continue;
    }
    // A report frame: 24 03 00 1C, then the 28-byte report.
    ASSERT_EQ(fr.channel, 3);
    ASSERT_EQ(fr.body.size(), 28u);
    sender_report_view r;
    ASSERT_TRUE(view_report(fr.body.data(), fr.body.size(), r));
    ++reports;
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(r.ssrc, packets.front().ssrc);
    const counted c = count_up_to(packets, r.rtp_timestamp, 16);
    EXPECT_EQ(r.packets, c.packets);
    EXPECT_EQ(r.octets, c.octets);
  }
  EXPECT_EQ(reports, 1) << syslog_dump();
  EXPECT_GT(packets.size(), 30u);
}
