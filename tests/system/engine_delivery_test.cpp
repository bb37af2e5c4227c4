// Where the stream's packets go: unicast and multicast over IPv4 and IPv6,
// from the source port to the destination port with the TTL / hop limit and
// TOS asked for, no multicast loopback, and the host route of an IPv4 group.
#include <gtest/gtest.h>
#include <arpa/inet.h>

#include "engine_runs.h"

namespace {

using namespace harness;
using namespace engine_runs;

bool has_host_route(const std::string& group) {
  for (const Route& r : ipv4_routes()) {
    if (r.destination_text() == group && r.device == "eth0" && r.flags == 5) return true;
  }
  return false;
}

// Starts a stream to `host`, checks what the receiving host gets, and stops it.
void check_delivery(const std::string& host, const std::string& local_address, int tos) {
  Process feeder = daemon_runs::start_mpeg4_feeder();
  ReceiverOptions options;
  options.want_ttl_tos = true;
  UdpReceiver receiver(host, kDstPort, options);
  const pid_t pid = start_stream(mpeg4_args(host), pid_path_for(host));
  ASSERT_GT(pid, 0);

  const auto packets = receiver.receive_n(10, 15s);
  ASSERT_EQ(packets.size(), 10u) << syslog_dump();
  for (const Datagram& d : packets) {
    EXPECT_EQ(d.from, local_address);
    EXPECT_EQ(d.from_port, kSrcPort);
    EXPECT_EQ(d.ttl, 7);
    EXPECT_EQ(d.tos, tos);
    EXPECT_EQ(view_rtp(d.data).payload_type, 120);
  }
  EXPECT_EQ(stop_stream(pid), 0);
}

} // namespace

TEST(EngineDelivery, Ipv4UnicastArrivesFromSrcportWithTtlAndTosAndAddsNoRoute) {
  const auto before = ipv4_routes().size();
  check_delivery(kPeerIpv4, kLocalIpv4, 184);
  EXPECT_EQ(ipv4_routes().size(), before);
}

// The TOS option is an IPv4 setting: IPv6 packets keep traffic class 0.
TEST(EngineDelivery, Ipv6UnicastArrivesFromSrcportWithHopLimitAndTrafficClassZero) {
  check_delivery(kPeerIpv6, kLocalIpv6, 0);
}

TEST(EngineDelivery, Ipv4MulticastHasItsHostRouteOnlyWhileStreamingAndNoLoopback) {
  const std::string group = "239.1.2.3";
  Process feeder = daemon_runs::start_mpeg4_feeder();
  ReceiverOptions options;
  options.want_ttl_tos = true;
  UdpReceiver receiver(group, kDstPort, options);
  ReceiverOptions here;
  here.in_peer = false;
  UdpReceiver local(group, kDstPort, here); // would see looped-back packets

  const pid_t pid = start_stream(mpeg4_args(group), pid_path_for(group));
  ASSERT_GT(pid, 0);
  const auto packets = receiver.receive_n(10, 15s);
  ASSERT_EQ(packets.size(), 10u) << syslog_dump();
  for (const Datagram& d : packets) {
    EXPECT_EQ(d.from, kLocalIpv4);
    EXPECT_EQ(d.from_port, kSrcPort);
    EXPECT_EQ(d.ttl, 7);
    EXPECT_EQ(d.tos, 184);
  }
  EXPECT_TRUE(has_host_route(group)) << proc_net_route();
  EXPECT_FALSE(local.receive(1s).has_value()) << "multicast loopback must be off while streaming";

  EXPECT_EQ(stop_stream(pid), 0);
  EXPECT_FALSE(has_host_route(group)) << proc_net_route();
}

TEST(EngineDelivery, Ipv6MulticastArrivesWithHopLimitAndNeitherLoopsBackNorTouchesRoutes) {
  const std::string group = "ff0e::1:2";
  const std::string routes_before = proc_net_route();
  Process feeder = daemon_runs::start_mpeg4_feeder();
  ReceiverOptions options;
  options.want_ttl_tos = true;
  UdpReceiver receiver(group, kDstPort, options);
  ReceiverOptions here;
  here.in_peer = false;
  UdpReceiver local(group, kDstPort, here);

  const pid_t pid = start_stream(mpeg4_args(group), pid_path_for(group));
  ASSERT_GT(pid, 0);
  const auto packets = receiver.receive_n(10, 15s);
  ASSERT_EQ(packets.size(), 10u) << syslog_dump();
  for (const Datagram& d : packets) {
    EXPECT_EQ(d.from_port, kSrcPort);
    EXPECT_EQ(d.ttl, 7);
    EXPECT_EQ(d.tos, 0);
  }
  EXPECT_FALSE(local.receive(1s).has_value());
  EXPECT_EQ(proc_net_route(), routes_before);
  EXPECT_EQ(stop_stream(pid), 0);
}
