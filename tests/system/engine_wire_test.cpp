// What the receiving host sees of a stream: 3000-byte units cut to the MTU
// over UDP and interleaved on TCP, and sender reports every five seconds
// with the stream's SSRC, the clock's NTP time, and packet and octet counts
// equal to what arrived up to the report's RTP timestamp.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cmath>
#include <optional>
#include <thread>

#include "engine_runs.h"

namespace {

using namespace harness;
using namespace engine_runs;
using std::chrono::steady_clock;

// A lone 28-byte sender report without report blocks, or nothing.
std::optional<toolkit::SenderReport> view_report(toolkit::Bytes p) {
  toolkit::SenderReport r;
  if (p.size() != 28 || p[0] != 0x80 || p[1] != toolkit::kRtcpSenderReport || !toolkit::parse_sender_report(p, r) ||
      r.length_words != 6) {
    return std::nullopt;
  }
  return r;
}

double ntp_seconds(const toolkit::SenderReport& r) { return r.ntp_seconds + r.ntp_fraction / 4294967296.0; }

// NTP time, in seconds, of an instant of the steady clock.
double ntp_of(steady_clock::time_point at) {
  const auto wall = std::chrono::system_clock::now() - (steady_clock::now() - at);
  return std::fmod(std::chrono::duration<double>(wall.time_since_epoch()).count() + 2208988800.0, 4294967296.0);
}

// Packets and octets that arrived up to (and including) a timestamp. Octets
// count whole packets as sent: `head` is the RTP header, over TCP with the
// '$' prefix.
std::pair<uint32_t, uint32_t> count_up_to(const std::vector<rtp_packet>& packets, uint32_t timestamp, uint32_t head) {
  std::pair<uint32_t, uint32_t> c{0, 0};
  for (const rtp_packet& p : packets) {
    if (p.timestamp > timestamp) continue;
    ++c.first;
    c.second += static_cast<uint32_t>(head + p.payload.size());
  }
  return c;
}

// Every whole unit among `packets` (from the packet after the first marker
// on) has payloads of `sizes` and a timestamp of its own, and sequence
// numbers run on without a gap.
void expect_units(const std::vector<rtp_packet>& packets, const std::vector<size_t>& sizes) {
  size_t i = 0;
  size_t units = 0;
  while (i < packets.size() && !packets[i].marker) ++i;
  std::vector<size_t> current;
  for (++i; i < packets.size(); ++i) {
    const rtp_packet& p = packets[i];
    EXPECT_EQ(static_cast<uint16_t>(p.seq - packets[i - 1].seq), 1) << "packet " << i;
    EXPECT_EQ(p.timestamp == packets[i - 1].timestamp, !current.empty()) << "packet " << i;
    current.push_back(p.payload.size());
    if (!p.marker) continue;
    EXPECT_EQ(current, sizes) << "unit " << units;
    ++units;
    current.clear();
  }
  EXPECT_GE(units, 9u) << syslog_dump();
}

} // namespace

TEST(EngineWire, UdpUnitsGoOutAs1460_1460_80AndReportsFromSrcportPlusOneEveryFiveSecondsCountWhatArrived) {
  UdpReceiver rtp(kPeerIpv4, kDstPort);
  UdpReceiver rtcp(kPeerIpv4, kDstPort + 1);
  mpeg4_stream stream(kPeerIpv4);
  ASSERT_GT(stream.pid, 0);
  // Drain RTP all along, so that no datagram is lost to a full buffer.
  std::vector<rtp_packet> packets;
  std::atomic<bool> stop{false};
  std::thread drain([&] {
    // Once stopped, until the socket is empty: the daemon has ended by then.
    for (int i = 0; i < 100000; ++i) {
      if (auto d = rtp.receive(200ms)) packets.push_back(parse_rtp(d->data).value_or(rtp_packet{}));
      else if (stop.load()) break;
    }
  });
  const std::vector<Datagram> reports = rtcp.receive_n(2, 16s);
  EXPECT_EQ(stop_stream(stream.pid), 0);
  stop.store(true);
  drain.join();

  ASSERT_EQ(reports.size(), 2u) << syslog_dump();
  ASSERT_FALSE(packets.empty());
  expect_units(packets, {1460, 1460, 80});
  EXPECT_GE(reports[1].at - reports[0].at, 4500ms) << "one report per five seconds";
  for (const Datagram& d : reports) {
    const auto r = view_report(d.data);
    ASSERT_TRUE(r.has_value()) << d.data.size() << " bytes";
    EXPECT_EQ(d.from, kLocalIpv4);
    EXPECT_EQ(d.from_port, kSrcPort + 1);
    EXPECT_EQ(r->ssrc, packets.front().ssrc);
    EXPECT_NEAR(ntp_seconds(*r), ntp_of(d.at), 0.5);
    EXPECT_GT(r->packet_count, 0u);
    EXPECT_EQ(std::pair(r->packet_count, r->octet_count), count_up_to(packets, r->rtp_timestamp, 12));
  }
}

TEST(EngineWire, LoweredInterfaceMtuShrinksThePackets) {
  ASSERT_TRUE(set_mtu(1000));
  UdpReceiver receiver(kPeerIpv4, kDstPort);
  mpeg4_stream stream(kPeerIpv4);
  ASSERT_GT(stream.pid, 0);
  std::vector<rtp_packet> packets;
  for (const Datagram& d : receiver.receive_n(41, 15s)) packets.push_back(parse_rtp(d.data).value_or(rtp_packet{}));
  EXPECT_EQ(stop_stream(stream.pid), 0);
  expect_units(packets, {960, 960, 960, 120});
}

TEST(EngineWire, InterleavedToASlowReaderUnitsGoAs1444_1444_112AndReportsAs32ByteFramesCountingWhatPreceded) {
  TcpListener listener(kPeerIpv4, 0);
  // A small receive window, read slowly: both threads of the daemon keep
  // meeting a full connection.
  const int tiny = 2048;
  setsockopt(listener.fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
  Process handoff({bin("tcp-handoff"), "--session", "3", "--connect",
                   std::string(kPeerIpv4) + ":" + std::to_string(listener.port()), "--timeout", "20"});
  Fd connection = listener.accept(10s);
  ASSERT_TRUE(connection) << handoff.err();
  mpeg4_stream stream(kPeerIpv4, {"--protocol=rtp_tcp", "--interleaved=2-3", "--session_id=3"});
  ASSERT_GT(stream.pid, 0);

  // Whole '$' frames back to back, up to a partial last one; a report is
  // 24 03 00 1C, then the 28-byte report.
  std::vector<rtp_packet> packets;
  int reports = 0;
  toolkit::Deframer deframer([&](uint8_t channel, toolkit::Bytes body) {
    if (channel == 2) {
      packets.push_back(parse_rtp(body).value_or(rtp_packet{}));
      return;
    }
    EXPECT_EQ(channel, 3);
    const auto r = view_report(body);
    ++reports;
    ASSERT_TRUE(r.has_value()) << body.size() << " bytes";
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(r->ssrc, packets.front().ssrc);
    EXPECT_EQ(std::pair(r->packet_count, r->octet_count), count_up_to(packets, r->rtp_timestamp, 16));
  });
  // Read for about seven seconds, slower than the stream: one report is due
  // after five.
  for (const auto until = steady_clock::now() + 7s; steady_clock::now() < until;) {
    deframer.feed(read_some(connection.get(), 300, 1s));
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(stop_stream(stream.pid), 0);
  EXPECT_TRUE(deframer.in_step());
  EXPECT_EQ(reports, 1) << syslog_dump();
  expect_units(packets, {1444, 1444, 112});
}
