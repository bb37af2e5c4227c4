// Where the stream's packets go: unicast and multicast over IPv4 and IPv6,
// from the source port to the destination port with the TTL / hop limit and
// TOS asked for, no multicast loopback, and the host route of an IPv4 group.
#include <gtest/gtest.h>

#include <optional>

#include "engine_runs.h"

namespace {

using namespace harness;
using namespace engine_runs;

// Streams to `host` and checks what the receiving host gets from `from`, and
// what the route table holds while streaming and after SIGTERM.
void check_delivery(const std::string& host, const char* from, int tos) {
  const bool ipv4_group = is_multicast(host) && host.find(':') == std::string::npos;
  const std::string routes_before = proc_net_route();
  UdpReceiver receiver(host, kDstPort, {.want_ttl_tos = true});
  std::optional<UdpReceiver> here; // would see looped-back packets
  if (is_multicast(host)) here.emplace(host, kDstPort, ReceiverOptions{.in_peer = false});
  mpeg4_stream stream(host);
  ASSERT_GT(stream.pid, 0);

  const auto packets = receiver.receive_n(10, 15s);
  ASSERT_EQ(packets.size(), 10u) << syslog_dump();
  for (const Datagram& d : packets) {
    EXPECT_EQ(d.from, from);
    EXPECT_EQ(d.from_port, kSrcPort);
    EXPECT_EQ(d.ttl, 7);
    EXPECT_EQ(d.tos, tos);
    EXPECT_EQ(parse_rtp(d.data).value_or(rtp_packet{}).payload_type, 120);
  }
  EXPECT_FALSE(here && here->receive(1s).has_value()) << "multicast loopback must be off while streaming";
  bool group_route = false;
  for (const Route& r : ipv4_routes()) group_route |= r.destination_text() == host && r.device == "eth0" && r.flags == 5;
  EXPECT_EQ(group_route, ipv4_group) << proc_net_route();
  EXPECT_TRUE(ipv4_group || proc_net_route() == routes_before) << proc_net_route();

  EXPECT_EQ(stop_stream(stream.pid), 0);
  EXPECT_EQ(proc_net_route(), routes_before);
}

} // namespace

TEST(EngineDelivery, Ipv4UnicastArrivesFromSrcportWithTtlAndTosAndAddsNoRoute) {
  check_delivery(kPeerIpv4, kLocalIpv4, 184);
}

// The TOS option is an IPv4 setting: IPv6 packets keep traffic class 0.
TEST(EngineDelivery, Ipv6UnicastArrivesFromSrcportWithHopLimitAndTrafficClassZero) {
  check_delivery(kPeerIpv6, kLocalIpv6, 0);
}

TEST(EngineDelivery, Ipv4MulticastHasItsHostRouteOnlyWhileStreamingAndNoLoopback) {
  check_delivery("239.1.2.3", kLocalIpv4, 184);
}

TEST(EngineDelivery, Ipv6MulticastArrivesWithHopLimitAndNeitherLoopsBackNorTouchesRoutes) {
  check_delivery("ff0e::1:2", kLocalIpv6, 0);
}
