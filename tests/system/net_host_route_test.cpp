// Host routes for IPv4 multicast groups, made with the real route program in
// the sandbox's network namespace, and what is logged along the way.
#include "harness/harness.h"

#include "net/route.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

namespace {

using namespace harness;

constexpr char kUnit[] = "network";
constexpr char kGroup[] = "239.1.2.3";

size_t routes_to(const char* group, const std::string& device, unsigned flags) {
  size_t n = 0;
  for (const auto& r : ipv4_routes())
    if (r.destination == inet_addr(group) && r.device == device && r.flags == flags) ++n;
  return n;
}

class NetHostRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("PATH");
    saved_path_ = path != nullptr ? path : "";
    // The route program lives in an sbin directory.
    setenv("PATH", (saved_path_ + ":/usr/sbin:/sbin").c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    route({"del", "-host", kGroup, "dev", "eth0"});
    route({"del", "-host", kGroup, "gw", kPeerIpv4, "dev", "eth0"});
    route({"del", "-host", kGroup, "dev", "lo"});
  }
  std::string saved_path_;
};

TEST_F(NetHostRoute, GroupRouteAppearsWithFlagsFiveOnTheDeviceAndGoesAwayAgain) {
  // Adding twice leaves one route; removing twice removes it once.
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(add_route(inet_addr(kGroup), "eth0"), 0);
    EXPECT_EQ(routes_to(kGroup, "eth0", 5), 1u) << proc_net_route();
  }
  EXPECT_EQ(del_route(inet_addr(kGroup), "eth0"), 1);
  EXPECT_EQ(routes_to(kGroup, "eth0", 5), 0u) << proc_net_route();
  EXPECT_EQ(del_route(inet_addr(kGroup), "eth0"), 0);
}

TEST_F(NetHostRoute, UnicastAndIpv6DestinationsLeaveTheTableAlone) {
  const std::string before = proc_net_route();
  for (const char* host : {kPeerIpv4, "2001:db8::2", "ff0e::1"}) {
    EXPECT_EQ(add_route(inet_addr(host), "eth0"), 0);
    EXPECT_EQ(del_route(inet_addr(host), "eth0"), 0);
  }
  EXPECT_EQ(proc_net_route(), before);
}

TEST_F(NetHostRoute, RoutesOnAnotherInterfaceOrThroughAGatewayDoNotCount) {
  ASSERT_TRUE(route({"add", "-host", kGroup, "dev", "lo"}).status.exited());
  ASSERT_EQ(routes_to(kGroup, "lo", 5), 1u) << proc_net_route();
  ASSERT_EQ(add_route(inet_addr(kGroup), "eth0"), 0);
  EXPECT_EQ(routes_to(kGroup, "eth0", 5), 1u) << proc_net_route();
  EXPECT_EQ(del_route(inet_addr(kGroup), "eth0"), 1);
  EXPECT_EQ(routes_to(kGroup, "lo", 5), 1u) << "the other interface's route stays";
  route({"del", "-host", kGroup, "dev", "lo"});

  auto gw = route({"add", "-host", kGroup, "gw", kPeerIpv4, "dev", "eth0"});
  ASSERT_EQ(routes_to(kGroup, "eth0", 7), 1u) << proc_net_route() << gw.err;
  EXPECT_EQ(del_route(inet_addr(kGroup), "eth0"), 0);
  EXPECT_EQ(routes_to(kGroup, "eth0", 7), 1u) << "a route through a gateway is not ours to remove";
  EXPECT_EQ(add_route(inet_addr(kGroup), "eth0"), 0) << "tried; its failure is not examined";
}

TEST_F(NetHostRoute, MissingRouteProgramIsLoggedByTheChildAndStillCountsAsDone) {
  mkdir("/tmp/empty-bin", 0755);
  setenv("PATH", "/tmp/empty-bin", 1);
  const size_t mark = syslog_mark();
  EXPECT_EQ(add_route(inet_addr(kGroup), "eth0"), 0);
  EXPECT_TRUE(wait_syslog_regex(func_line("exec_process", kUnit, " : execv(No such file or directory)"), 3s, mark))
      << syslog_dump();
  EXPECT_EQ(routes_to(kGroup, "eth0", 5), 0u);
}

TEST_F(NetHostRoute, UnreadableRouteTableIsLoggedAndRefused) {
  const char* saved = g_route_table_path;
  g_route_table_path = "/tmp/no-route-table";
  const size_t mark = syslog_mark();
  EXPECT_EQ(add_route(inet_addr(kGroup), "eth0"), -2);
  EXPECT_EQ(del_route(inet_addr(kGroup), "eth0"), -2);
  g_route_table_path = saved;
  EXPECT_EQ(wait_syslog_count("fread error(No such file or directory)", 2, 3s), 2u);
  EXPECT_TRUE(wait_syslog_regex(func_line("search_route", kUnit, ": fread error(No such file or directory)"), 3s, mark));
  EXPECT_EQ(routes_to(kGroup, "eth0", 5), 0u);
}

TEST_F(NetHostRoute, ChildEndedBySignalIsLoggedAndTheChangeFails) {
  mkdir("/tmp/kill-bin", 0755);
  {
    FILE* f = std::fopen("/tmp/kill-bin/route", "w");
    ASSERT_NE(f, nullptr);
    std::fputs("#!/bin/sh\nkill -KILL $$\n", f);
    std::fclose(f);
  }
  chmod("/tmp/kill-bin/route", 0755);
  setenv("PATH", ("/tmp/kill-bin:" + saved_path_).c_str(), 1);
  const size_t mark = syslog_mark();
  EXPECT_EQ(add_route(inet_addr(kGroup), "eth0"), -3);
  EXPECT_TRUE(wait_syslog_regex(func_line("wait_child", kUnit, " : child process signaled(9)"), 3s, mark))
      << syslog_dump();
  EXPECT_TRUE(wait_syslog_regex(func_line("change_route", kUnit, " : route error"), 3s, mark)) << syslog_dump();
}

} // namespace
