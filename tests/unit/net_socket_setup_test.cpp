// Socket preparation over loopback: the options a prepared socket carries,
// where it is bound, where its packets go, and how it is taken down.
#include "helpers/stream_record.h"
#include "net/network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// A stream's record on loopback unless told otherwise.
struct Stream : stream_test::stream_record {
  Stream(const char* host, uint32_t dstport, uint32_t srcport, uint32_t ttl, uint32_t tos, const char* device = "lo")
      : stream_record(host, dstport, srcport, ttl, tos, device) {}
};

int int_option(int fd, int level, int name) {
  int value = -12345;
  socklen_t len = sizeof value;
  if (getsockopt(fd, level, name, &value, &len) < 0) return -999;
  return value;
}

// A free port: bind to 0, read it back, release it.
uint16_t free_port(int family, int type) {
  const int fd = socket(family, type, 0);
  sockaddr_storage ss{};
  socklen_t len = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  ss.ss_family = static_cast<sa_family_t>(family);
  bind(fd, reinterpret_cast<sockaddr*>(&ss), len);
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  close(fd);
  return ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                  : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(NetSocketSetup, MulticastLoopbackIsOffWhileStreamingAndBackOnAfterCleanup) {
  struct row {
    const char* group;
    int family, level, loop;
  };
  for (const row& r : {row{"239.1.2.3", AF_INET, IPPROTO_IP, IP_MULTICAST_LOOP},
                       row{"ff0e::1", AF_INET6, IPPROTO_IPV6, IPV6_MULTICAST_LOOP}}) {
    SCOPED_TRACE(r.group);
    Stream s(r.group, 5000, free_port(r.family, SOCK_DGRAM), 16, 0xb8);
    const int fd = prepare_network(&s.ns);
    ASSERT_GE(fd, 0);
    // TTL, hop limit and TOS are checked on the wire in the sandbox.
    EXPECT_EQ(int_option(fd, r.level, r.loop), 0);
    if (r.family == AF_INET) {
      EXPECT_EQ(int_option(fd, IPPROTO_IP, IP_TTL), 64); // unicast TTL untouched
      EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_REUSEADDR), 1);
      // The destination is written into the owner's buffer.
      EXPECT_EQ(s.ns.addr.ai_addr, reinterpret_cast<sockaddr*>(&s.dst4));
      EXPECT_EQ(s.ns.addr.ai_addrlen, sizeof(sockaddr_in));
      EXPECT_EQ(ntohs(s.dst4.sin_port), 5000);
      EXPECT_EQ(s.dst4.sin_addr.s_addr, inet_addr("239.1.2.3"));
    }
    // The same socket seen through a second descriptor outlives the cleanup.
    const int watch = dup(fd);
    EXPECT_EQ(cleanup_network(&s.ns), 0);
    EXPECT_FALSE(is_open(fd));
    EXPECT_EQ(int_option(watch, r.level, r.loop), 1);
    close(watch);
  }
}

TEST(NetSocketSetup, FailedPreparationLeavesNoSocketOpen) {
  struct row {
    const char* host;
    uint32_t srcport;
    const char* device;
  };
  // IPv4 needs a source port; IPv6 an interface and a port within 16 bits.
  for (const row& r : {row{"127.0.0.1", 0, "lo"}, row{"127.0.0.1", 65536, "lo"}, row{"127.0.0.1", 70000, "lo"},
                       row{"2001:db8::2", 6000, "nosuchif0"}, row{"::1", 65536 + 6000, "lo"}}) {
    Stream s(r.host, 5000, r.srcport, 1, 0, r.device);
    EXPECT_EQ(prepare_network(&s.ns), -1) << r.host << " " << r.srcport;
    EXPECT_GE(s.ns.sock, 0) << "holds the closed number";
    EXPECT_FALSE(is_open(s.ns.sock)) << r.host << " " << r.srcport;
  }
}

TEST(NetSocketSetup, CleanupOfAUnicastSocketOnlyClosesItAndReportsAClosedOne) {
  Stream s("127.0.0.1", 5000, free_port(AF_INET, SOCK_DGRAM), 1, 0);
  const int fd = prepare_network(&s.ns);
  ASSERT_GE(fd, 0);
  const int watch = dup(fd);
  const int loop_before = int_option(watch, IPPROTO_IP, IP_MULTICAST_LOOP);
  EXPECT_EQ(cleanup_network(&s.ns), 0);
  EXPECT_EQ(int_option(watch, IPPROTO_IP, IP_MULTICAST_LOOP), loop_before);
  close(watch);

  network_setting none;
  EXPECT_EQ(cleanup_network(&none), -1); // sock -1: close fails, nothing else happens
}

TEST(NetSocketSetup, MissingRecordOrDestinationBufferAborts) {
  EXPECT_EXIT(prepare_network(nullptr), testing::KilledBySignal(SIGABRT), "");
  EXPECT_EXIT(cleanup_network(nullptr), testing::KilledBySignal(SIGABRT), "");
  network_setting ns;
  std::snprintf(ns.host, sizeof ns.host, "127.0.0.1");
  EXPECT_EXIT(prepare_network(&ns), testing::KilledBySignal(SIGABRT), "");
}

} // namespace
