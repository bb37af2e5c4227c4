// Prepared stream sockets against a real receiving host: what arrives there,
// and what the network layer says in the system log when preparation fails.
#include "harness/harness.h"

#include "helpers/stream_record.h"
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
#include <vector>

namespace {

using namespace harness;

constexpr char kUnit[] = "network";

struct Stream : stream_test::stream_record {
  Stream(const char* host, uint32_t dstport, uint32_t srcport, uint32_t ttl, uint32_t tos,
         const char* device = kDevice)
      : stream_record(host, dstport, srcport, ttl, tos, device) {}
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

// Each datagram arrives from the source port (chosen by the system when
// none is given) with the TTL or hop limit asked for; TOS applies to IPv4.
TEST(NetStreamSocket, UnicastAndIpv6MulticastArriveFromSrcportWithTheTtlAndTosAskedFor) {
  struct row {
    const char* host;
    uint32_t srcport, ttl, tos;
    const char* from;
    int tos_seen;
  };
  for (const row& r : {row{kPeerIpv4, 41000, 33, 0x48, kLocalIpv4, 0x48}, row{kPeerIpv6, 0, 17, 0x48, kLocalIpv6, 0},
                       row{"ff0e::42", 43000, 4, 0, kLocalIpv6, 0}}) {
    SCOPED_TRACE(r.host);
    UdpReceiver rx(r.host, 0, {.want_ttl_tos = true});
    Stream s(r.host, rx.port(), r.srcport, r.ttl, r.tos);
    ASSERT_GE(prepare_network(&s.ns), 0);
    const uint16_t chosen = bound_port(s.ns.sock);
    ASSERT_TRUE(s.send(r.host));
    auto got = rx.receive(3s);
    ASSERT_TRUE(got);
    EXPECT_EQ(std::string(got->data.begin(), got->data.end()), r.host);
    EXPECT_EQ(got->from, r.from);
    EXPECT_EQ(got->from_port, r.srcport != 0 ? r.srcport : chosen);
    EXPECT_EQ(got->ttl, static_cast<int>(r.ttl));
    EXPECT_EQ(got->tos, r.tos_seen);
    EXPECT_EQ(cleanup_network(&s.ns), 0);
  }
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

// Each failure ends with its error-level line, after the one cause that
// says why (none for a missing source port).
TEST(NetStreamSocket, PreparationFailuresAreLoggedWithTheirOwnMessages) {
  Fd holder(socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  struct row {
    const char* host;
    uint32_t srcport;
    const char* device;
    std::string cause, last;
  };
  const std::vector<row> rows = {
      {kPeerIpv4, 0, kDevice, "", "failed to ipv4_sock_seetting"},
      {"2001:db8::2", 6000, "nosuchif0", func_line("ipv6_sock_setting", kUnit, " : if_nametoindex error"),
       "failed to ipv6_sock_seetting"},
      {kPeerIpv4, bound_port(holder.get()), kDevice, unit_line(kUnit, "bind error [Address already in use]"),
       "failed to ipv4_sock_seetting"},
      {"no-such-host.invalid", 6000, kDevice,
       "^network : [0-9]+ : getaddrinfo error \\[.*:host=no-such-host\\.invalid, port=5004\\]$", "init_addrinfo error"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.host);
    const size_t mark = syslog_mark();
    Stream s(r.host, 5004, r.srcport, 1, 0, r.device);
    ASSERT_EQ(prepare_network(&s.ns), -1);
    ASSERT_TRUE(wait_syslog_regex(unit_line(kUnit, r.last), 3s, mark)) << syslog_dump();
    const auto lines = lines_since(mark);
    ASSERT_EQ(lines.size(), r.cause.empty() ? 1u : 2u) << syslog_dump();
    EXPECT_EQ(priority(lines.back()), LOG_ERR);
    if (!r.cause.empty()) {
      EXPECT_TRUE(std::regex_search(lines[0].message, std::regex(r.cause))) << lines[0].message;
    }
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
