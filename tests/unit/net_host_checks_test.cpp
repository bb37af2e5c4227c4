// Destination and interface checks that option parsing relies on, and the
// multicast tests that choose socket options and host routes.
#include "net/network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

TEST(NetHostChecks, HostsOutsideTheUsableRangesOrNoAddressAtAllAreRefused) {
  // Text that is no IPv4 address must not be read as the broadcast address.
  for (const char* refused : {"127.0.0.1", "0.1.2.3", "0.0.0.0", "1.0.0.0", "126.255.255.255", "128.0.0.0",
                              "191.255.255.255", "192.0.0.0", "223.255.255.255", "", "camera.local", "10.0.0.5x",
                              "1.2.3.4.5", "::1"})
    EXPECT_EQ(check_ipv4_host(refused), -1) << refused;
  for (const char* accepted : {"10.0.0.5", "1.0.0.1", "126.255.255.254", "192.0.0.1", "223.255.255.254",
                               "239.1.1.1", "240.0.0.1", "255.255.255.255"})
    EXPECT_EQ(check_ipv4_host(accepted), 0) << accepted;
  for (const char* refused : {"::", "::1", "0:0:0:0:0:0:0:1", "2001:db8::zz", "fe80::1%lo", ":"})
    EXPECT_EQ(check_ipv6_host(refused), -1) << refused;
  for (const char* accepted : {"2001:db8::2", "FF0E::1", "fe80::1", "::ffff:10.0.0.5"})
    EXPECT_EQ(check_ipv6_host(accepted), 0) << accepted;
}

TEST(NetHostChecks, MulticastIsTheClassDBlockOrTwoLeadingFs) {
  struct row {
    const char* host;
    bool multicast;
  };
  // "ff" has no ':' so the IPv4 rules apply, and it is no address; IPv6
  // text read as IPv4 is all ones.
  for (const row& r : {row{"224.0.0.0", true}, row{"239.255.255.255", true}, row{"223.255.255.255", false},
                       row{"240.0.0.0", false}, row{"10.239.1.2", false}, row{"FF02::1", true}, row{"fF05::2", true},
                       row{"fe80::1", false}, row{"ff", false}}) {
    SCOPED_TRACE(r.host);
    EXPECT_EQ(is_multicast_host(r.host), r.multicast);
    if (std::strchr(r.host, ':') == nullptr) {
      EXPECT_EQ(is_ipv4_multicast_text(r.host), r.multicast);
      EXPECT_EQ(is_ipv4_multicast_addr(inet_addr(r.host)), r.multicast);
    } else {
      EXPECT_EQ(is_ipv6_multicast(r.host), r.multicast ? 1 : 0);
      EXPECT_FALSE(is_ipv4_multicast_text(r.host));
    }
  }
  EXPECT_EQ(is_ipv6_multicast("f"), 0);
  EXPECT_EQ(is_ipv6_multicast(""), 0);
}

TEST(NetInterfaceChecks, QueriesAnswerForLoopbackAndFailForAMissingInterface) {
  EXPECT_EQ(check_device("lo"), 0);
  EXPECT_EQ(check_device("lo\0ignored"), 0); // only the first 15 characters name it
  EXPECT_EQ(check_device("nosuchif0"), -3);
  EXPECT_EQ(check_device("nosuchinterface-with-a-long-name"), -3);

  network_setting ns;
  std::snprintf(ns.device, sizeof ns.device, "lo");
  EXPECT_GT(get_mtu(&ns), 0);
  EXPECT_EQ(get_ip("lo"), inet_addr("127.0.0.1"));
  std::snprintf(ns.device, sizeof ns.device, "nosuchif0");
  EXPECT_EQ(get_mtu(&ns), -1);
  EXPECT_EQ(get_ip("nosuchif0"), 0xFFFFFFFFu);

  // Never stale bytes, whether the interface is missing or has no address.
  for (const char* dev : {"nosuchif0", "lo"}) {
    std::array<unsigned char, 6> hw = {1, 2, 3, 4, 5, 6};
    get_hwaddr(hw.data(), dev);
    EXPECT_EQ(hw, (std::array<unsigned char, 6>{})) << dev;
  }
}

// A caller's programming error stops the process at once, never a read
// through a null pointer that might go on.
TEST(NetInterfaceChecks, MissingRecordOrNameAbortsTheProcess) {
  EXPECT_EXIT(get_mtu(nullptr), testing::KilledBySignal(SIGABRT), "");
  EXPECT_EXIT(get_ip(nullptr), testing::KilledBySignal(SIGABRT), "");
  EXPECT_EXIT(check_device(nullptr), testing::KilledBySignal(SIGABRT), "");
}

} // namespace
