// How units are cut into packets on the wire: 3000-byte units at MTU 1500
// and at a lowered MTU, over UDP and interleaved on TCP.
#include <gtest/gtest.h>

#include "engine_runs.h"

namespace {

using namespace harness;
using namespace engine_runs;

// Payload sizes of whole units (from the packet after the first marker on),
// checking marker, sequence and timestamp rules on the way.
std::vector<std::vector<size_t>> units_of(const std::vector<rtp_view>& packets) {
  std::vector<std::vector<size_t>> units;
  size_t i = 0;
  while (i < packets.size() && !packets[i].marker) ++i;
  std::vector<size_t> current;
  for (++i; i < packets.size(); ++i) {
    const rtp_view& p = packets[i];
    EXPECT_EQ(static_cast<uint16_t>(p.seq - packets[i - 1].seq), 1) << "packet " << i;
    if (current.empty()) {
      EXPECT_NE(p.timestamp, packets[i - 1].timestamp) << "a new unit starts a new timestamp";
    } else {
      EXPECT_EQ(p.timestamp, packets[i - 1].timestamp) << "one timestamp per unit";
    }
    current.push_back(p.payload_size);
    if (p.marker) {
      units.push_back(current);
      current.clear();
    }
  }
  return units;
}

std::vector<rtp_view> receive_rtp(UdpReceiver& receiver, size_t count) {
  std::vector<rtp_view> out;
  for (const Datagram& d : receiver.receive_n(count, 15s)) out.push_back(view_rtp(d.data));
  return out;
}

} // namespace

TEST(EngineSizing, UdpUnitsOf3000BytesGoOutAs1460_1460_80WithTheMarkerOnTheLast) {
  Process feeder = daemon_runs::start_mpeg4_feeder();
  UdpReceiver receiver(kPeerIpv4, kDstPort);
  const pid_t pid = start_stream(mpeg4_args(kPeerIpv4), pid_path_for(kPeerIpv4));
  ASSERT_GT(pid, 0);
  const auto units = units_of(receive_rtp(receiver, 31));
  EXPECT_EQ(stop_stream(pid), 0);

  ASSERT_GE(units.size(), 9u) << syslog_dump();
  for (const auto& u : units) EXPECT_EQ(u, (std::vector<size_t>{1460, 1460, 80}));
}

TEST(EngineSizing, LoweredInterfaceMtuShrinksThePackets) {
  ASSERT_TRUE(set_mtu(1000));
  Process feeder = daemon_runs::start_mpeg4_feeder();
  UdpReceiver receiver(kPeerIpv4, kDstPort);
  const pid_t pid = start_stream(mpeg4_args(kPeerIpv4), pid_path_for(kPeerIpv4));
  ASSERT_GT(pid, 0);
  const auto units = units_of(receive_rtp(receiver, 41));
  EXPECT_EQ(stop_stream(pid), 0);

  ASSERT_GE(units.size(), 9u) << syslog_dump();
  for (const auto& u : units) EXPECT_EQ(u, (std::vector<size_t>{960, 960, 960, 120}));
}

TEST(EngineSizing, InterleavedUnitsGoOutAs1444_1444_112BehindTheChannelPrefix) {
  Process feeder = daemon_runs::start_mpeg4_feeder();
  TcpListener listener(kPeerIpv4, 0);
  Process handoff({bin("tcp-handoff"), "--session", "3", "--connect",
                   std::string(kPeerIpv4) + ":" + std::to_string(listener.port()), "--timeout", "20"});
  Fd connection = listener.accept(10s);
  ASSERT_TRUE(connection) << handoff.err();
  const pid_t pid = start_stream(mpeg4_args(kPeerIpv4, {"--protocol=rtp_tcp", "--interleaved=2-3", "--session_id=3"}),
                                 "/var/run/avtd_3.pid");
  ASSERT_GT(pid, 0);

  bytes stream;
  for (int i = 0; i < 200 && stream.size() < 40 * 1500; ++i) {
    const bytes piece = read_some(connection.get(), 65536, 5s);
    if (piece.empty()) break;
    stream.insert(stream.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(stop_stream(pid), 0);

  const framed f = split_frames(stream);
  ASSERT_TRUE(f.whole);
  std::vector<rtp_view> packets;
  for (const frame& fr : f.frames) {
    if (fr.channel != 2) continue;
    packets.push_back(view_rtp(fr.body));
  }
  const auto units = units_of(packets);
  ASSERT_GE(units.size(), 9u) << syslog_dump();
  for (const auto& u : units) EXPECT_EQ(u, (std::vector<size_t>{1444, 1444, 112}));
}
