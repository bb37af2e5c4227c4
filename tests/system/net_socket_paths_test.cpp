// Prepared stream sockets against a real receiving host: what arrives there,
// and what the network layer says in the system log when preparation fails.
#include "harness/harness.h"

#include "net/network.h"
#include "net/route.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>

namespace {

using namespace harness;

constexpr char kUnit[] = "network";

struct Stream {
  network_setting ns;
  sockaddr_in6 dst6{};
  sockaddr_in dst4{};

  Stream(const char* host, uint32_t dstport, uint32_t srcport, uint32_t ttl, uint32_t tos,
         const char* device = kDevice) {
    std::snprintf(ns.host, sizeof ns.host, "%s", host);
    std::snprintf(ns.device, sizeof ns.device, "%s", device);
    ns.dstport = dstport;
    ns.srcport = srcport;
    ns.ttl = ttl;
    ns.tos = tos;
    ns.protocol = kProtocolUdp;
    ns.addr.ai_addr = std::strchr(host, ':') != nullptr ? reinterpret_cast<sockaddr*>(&dst6)
                                                         : reinterpret_cast<sockaddr*>(&dst4);
  }
  socklen_t dst_len() const { return ns.addr.ai_family == AF_INET6 ? 28 : 16; }
  bool send(const std::string& payload) const {
    return sendto(ns.sock, payload.data(), payload.size(), 0, ns.addr.ai_addr, dst_len()) ==
           static_cast<ssize_t>(payload.size());
  }
};

uint16_t bound_port(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

// The syslog priority of a captured line ("<27>..." gives 3).
int priority(const SyslogLine& line) {
  int value = -1;
  return std::sscanf(line.raw.c_str(), "<%d>", &value) == 1 ? value & 7 : -1;
}

// The messages logged since `mark`.
std::vector<SyslogLine> lines_since(size_t mark) {
  auto all = syslog_lines();
  return {all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())), all.end()};
}

TEST(NetStreamSocket, Ipv4UnicastArrivesFromSrcportWithTheTtlAndTosAskedFor) {
  UdpReceiver rx(kPeerIpv4, 0, {.want_ttl_tos = true});
  Stream s(kPeerIpv4, rx.port(), 41000, 33, 0x48);
  ASSERT_GE(prepare_network(&s.ns), 0);
  ASSERT_TRUE(s.send("unicast-v4"));
  auto got = rx.receive(3s);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::string(got->data.begin(), got->data.end()), "unicast-v4");
  EXPECT_EQ(got->from, kLocalIpv4);
  EXPECT_EQ(got->from_port, 41000);
  EXPECT_EQ(got->ttl, 33);
  EXPECT_EQ(got->tos, 0x48);
  EXPECT_EQ(cleanup_network(&s.ns), 0);
}

TEST(NetStreamSocket, Ipv6UnicastArrivesWithTheHopLimitAskedForFromTheChosenPort) {
  UdpReceiver rx(kPeerIpv6, 0, {.want_ttl_tos = true});
  Stream s(kPeerIpv6, rx.port(), 0, 17, 0x48);
  ASSERT_GE(prepare_network(&s.ns), 0);
  const uint16_t chosen = bound_port(s.ns.sock);
  ASSERT_TRUE(s.send("unicast-v6"));
  auto got = rx.receive(3s);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->from, kLocalIpv6);
  EXPECT_EQ(got->from_port, chosen);
  EXPECT_EQ(got->ttl, 17);
  EXPECT_EQ(got->tos, 0) << "tos is not applied to IPv6";
  EXPECT_EQ(cleanup_network(&s.ns), 0);
}

TEST(NetStreamSocket, Ipv4MulticastLeavesThroughTheHostRouteAndDoesNotLoopBack) {
  const uint32_t group = inet_addr("239.7.8.9");
  UdpReceiver peer("239.7.8.9", 0, {.want_ttl_tos = true});
  UdpReceiver local("239.7.8.9", peer.port(), {.in_peer = false});
  Stream s("239.7.8.9", peer.port(), 42000, 5, 0x20);
  ASSERT_GE(prepare_network(&s.ns), 0);
  // No default route here: without the host route the group is unreachable.
  EXPECT_FALSE(s.send("before-route"));
  ASSERT_EQ(add_route(group, kDevice), 0);

  ASSERT_TRUE(s.send("multicast-v4"));
  auto got = peer.receive(3s);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::string(got->data.begin(), got->data.end()), "multicast-v4");
  EXPECT_EQ(got->from_port, 42000);
  EXPECT_EQ(got->ttl, 5);
  EXPECT_EQ(got->tos, 0x20);
  EXPECT_FALSE(local.receive(300ms)) << "multicast loopback must be off while streaming";

  EXPECT_EQ(cleanup_network(&s.ns), 0);
  EXPECT_EQ(del_route(group, kDevice), 1);
}

TEST(NetStreamSocket, Ipv6MulticastLeavesThroughTheNamedInterfaceWithItsHopLimit) {
  UdpReceiver peer("ff0e::42", 0, {.want_ttl_tos = true});
  Stream s("ff0e::42", peer.port(), 43000, 4, 0);
  ASSERT_GE(prepare_network(&s.ns), 0);
  ASSERT_TRUE(s.send("multicast-v6"));
  auto got = peer.receive(3s);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->from_port, 43000);
  EXPECT_EQ(got->ttl, 4);
  EXPECT_EQ(cleanup_network(&s.ns), 0);
}

TEST(NetStreamSocket, Ipv4WithoutASourcePortLogsOnlyTheSettingFailure) {
  const size_t mark = syslog_mark();
  Stream s(kPeerIpv4, 5000, 0, 1, 0);
  ASSERT_EQ(prepare_network(&s.ns), -1);
  ASSERT_TRUE(wait_syslog_regex(unit_line(kUnit, "failed to ipv4_sock_seetting"), 3s, mark)) << syslog_dump();
  const auto lines = lines_since(mark);
  ASSERT_EQ(lines.size(), 1u) << syslog_dump();
  EXPECT_EQ(priority(lines[0]), LOG_ERR);
}

TEST(NetStreamSocket, PreparationFailuresAreLoggedWithTheirOwnMessages) {
  {
    const size_t mark = syslog_mark();
    Stream s("2001:db8::2", 5000, 6000, 1, 0, "nosuchif0");
    ASSERT_EQ(prepare_network(&s.ns), -1);
    ASSERT_TRUE(wait_syslog_regex(unit_line(kUnit, "failed to ipv6_sock_seetting"), 3s, mark));
    const auto lines = lines_since(mark);
    ASSERT_EQ(lines.size(), 2u) << syslog_dump();
    EXPECT_TRUE(std::regex_search(lines[0].message,
                                  std::regex(func_line("ipv6_sock_setting", kUnit, " : if_nametoindex error"))))
        << lines[0].message;
  }
  {
    const size_t mark = syslog_mark();
    Fd holder(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    Stream s(kPeerIpv4, 5000, bound_port(holder.get()), 1, 0);
    ASSERT_EQ(prepare_network(&s.ns), -1);
    ASSERT_TRUE(wait_syslog_regex(unit_line(kUnit, "failed to ipv4_sock_seetting"), 3s, mark));
    EXPECT_EQ(syslog_count_regex(unit_line(kUnit, "bind error [Address already in use]")), 1u) << syslog_dump();
  }
  {
    const size_t mark = syslog_mark();
    Stream s("no-such-host.invalid", 5004, 6000, 1, 0);
    ASSERT_EQ(prepare_network(&s.ns), -1);
    ASSERT_TRUE(wait_syslog_regex(unit_line(kUnit, "init_addrinfo error"), 3s, mark));
    const auto lines = lines_since(mark);
    ASSERT_EQ(lines.size(), 2u) << syslog_dump();
    EXPECT_TRUE(std::regex_search(
        lines[0].message, std::regex("^network : [0-9]+ : getaddrinfo error \\[.*:host=no-such-host\\.invalid, port=5004\\]$")))
        << lines[0].message;
  }
}

TEST(NetStreamSocket, ANameThatResolvesOnlyToIpv6FailsInsteadOfAimingAtNoAddress) {
  {
    std::ofstream("/tmp/hosts") << "2001:db8::2 v6only.test\n";
  }
  ASSERT_EQ(mount("/tmp/hosts", "/etc/hosts", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
  const size_t mark = syslog_mark();
  Stream s("v6only.test", 5000, 6000, 1, 0);
  const int fd = prepare_network(&s.ns);
  umount("/etc/hosts");
  EXPECT_EQ(fd, -1);
  EXPECT_TRUE(wait_syslog_regex(unit_line(kUnit, "failed to ipv6_sock_seetting"), 3s, mark)) << syslog_dump();
}

TEST(NetStreamSocket, FailedSendIsLoggedAsInformation) {
  Fd unconnected(socket(AF_INET, SOCK_DGRAM, 0));
  const size_t mark = syslog_mark();
  const timeval now{0, 0};
  EXPECT_EQ(safe_send(unconnected.get(), "x", 1, 0, &now), -1);
  auto line = wait_syslog_regex(unit_line(kUnit, "send error(Destination address required)"), 3s, mark);
  ASSERT_TRUE(line) << syslog_dump();
  EXPECT_EQ(priority(*line), LOG_INFO);
}

TEST(NetStreamSocket, InterfaceQueriesAnswerForTheStreamInterface) {
  network_setting ns;
  std::snprintf(ns.device, sizeof ns.device, "%s", kDevice);
  ASSERT_TRUE(set_mtu(1280));
  EXPECT_EQ(get_mtu(&ns), 1280);
  EXPECT_EQ(get_ip(kDevice), inet_addr(kLocalIpv4));
  unsigned char hw[6] = {};
  get_hwaddr(hw, kDevice);
  const auto text = read_file("/sys/class/net/eth0/address");
  ASSERT_TRUE(text);
  char mine[18];
  std::snprintf(mine, sizeof mine, "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
  EXPECT_EQ(text->substr(0, 17), mine);
  EXPECT_EQ(check_device(kDevice), 0);
}

} // namespace
