// Destination and interface checks that option parsing relies on, and the
// multicast tests that choose socket options and host routes.
#include "net/network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(NetHostChecks, Ipv4HostsOutsideTheUsableRangesAreRefused) {
  for (const char* refused : {"127.0.0.1", "127.255.255.254", "0.1.2.3", "0.0.0.0", "1.0.0.0", "126.255.255.255",
                              "128.0.0.0", "191.255.255.255", "192.0.0.0", "223.255.255.255"})
    EXPECT_EQ(check_ipv4_host(refused), -1) << refused;
  for (const char* accepted : {"10.0.0.5", "192.168.1.10", "1.0.0.1", "126.255.255.254", "192.0.0.1",
                               "223.255.255.254", "198.51.100.2", "239.1.1.1", "224.0.0.1", "240.0.0.1",
                               "255.255.255.255"})
    EXPECT_EQ(check_ipv4_host(accepted), 0) << accepted;
}

TEST(NetHostChecks, TextThatIsNoIpv4AddressIsRefusedRatherThanReadAsBroadcast) {
  for (const char* text : {"", "camera.local", "10.0.0.5x", "1.2.3.4.5", "::1"})
    EXPECT_EQ(check_ipv4_host(text), -1) << text;
}

TEST(NetHostChecks, Ipv6HostsMustParseAndBeNeitherUnspecifiedNorLoopback) {
  for (const char* refused : {"::", "::1", "0:0:0:0:0:0:0:1", "2001:db8::zz", "fe80::1%lo", ":"})
    EXPECT_EQ(check_ipv6_host(refused), -1) << refused;
  for (const char* accepted : {"2001:db8::2", "ff02::1", "FF0E::1", "fe80::1", "::ffff:10.0.0.5"})
    EXPECT_EQ(check_ipv6_host(accepted), 0) << accepted;
}

TEST(NetHostChecks, MulticastIsTheClassDBlockOrTwoLeadingFs) {
  EXPECT_TRUE(is_ipv4_multicast_text("224.0.0.0"));
  EXPECT_TRUE(is_ipv4_multicast_text("239.255.255.255"));
  EXPECT_FALSE(is_ipv4_multicast_text("223.255.255.255"));
  EXPECT_FALSE(is_ipv4_multicast_text("240.0.0.0"));
  EXPECT_FALSE(is_ipv4_multicast_text("ff02::1")); // unparsable text reads as all ones

  EXPECT_EQ(is_ipv6_multicast("FF02::1"), 1);
  EXPECT_EQ(is_ipv6_multicast("ff0e::1"), 1);
  EXPECT_EQ(is_ipv6_multicast("fF05::2"), 1);
  EXPECT_EQ(is_ipv6_multicast("fe80::1"), 0);
  EXPECT_EQ(is_ipv6_multicast("f"), 0);
  EXPECT_EQ(is_ipv6_multicast(""), 0);

  EXPECT_TRUE(is_ipv4_multicast_addr(inet_addr("239.1.2.3")));
  EXPECT_FALSE(is_ipv4_multicast_addr(inet_addr("10.239.1.2")));
  EXPECT_FALSE(is_ipv4_multicast_addr(inet_addr("2001:db8::1")));

  EXPECT_TRUE(is_multicast_host("239.1.2.3"));
  EXPECT_TRUE(is_multicast_host("ff0e::1"));
  EXPECT_FALSE(is_multicast_host("fe80::1"));
  EXPECT_FALSE(is_multicast_host("192.168.1.10"));
  EXPECT_FALSE(is_multicast_host("ff")); // no ':' so IPv4 rules, and no address
}

TEST(NetInterfaceChecks, ExistingInterfaceAcceptedMissingOneRefusedWithMinusThree) {
  EXPECT_EQ(check_device("lo"), 0);
  EXPECT_EQ(check_device("nosuchif0"), -3);
  // Only the first 15 characters name the interface.
  EXPECT_EQ(check_device("lo\0ignored"), 0);
  EXPECT_EQ(check_device("nosuchinterface-with-a-long-name"), -3);
}

TEST(NetInterfaceChecks, QueriesAnswerForLoopbackAndFailForAMissingInterface) {
  network_setting ns;
  std::snprintf(ns.device, sizeof ns.device, "lo");
  EXPECT_GT(get_mtu(&ns), 0);
  EXPECT_EQ(get_ip("lo"), inet_addr("127.0.0.1"));

  std::snprintf(ns.device, sizeof ns.device, "nosuchif0");
  EXPECT_EQ(get_mtu(&ns), -1);
  EXPECT_EQ(get_ip("nosuchif0"), 0xFFFFFFFFu);

  unsigned char hw[6] = {1, 2, 3, 4, 5, 6};
  get_hwaddr(hw, "nosuchif0");
  for (unsigned char b : hw) EXPECT_EQ(b, 0); // never stale bytes
  unsigned char lo_hw[6] = {9, 9, 9, 9, 9, 9};
  get_hwaddr(lo_hw, "lo");
  for (unsigned char b : lo_hw) EXPECT_EQ(b, 0);
}

TEST(NetInterfaceChecks, MissingRecordOrNameAbortsWithTheConditionText) {
  EXPECT_DEATH(get_mtu(nullptr), "ns != \\(\\(void \\*\\)0\\)");
  EXPECT_DEATH(get_ip(nullptr), "devname != \\(\\(void \\*\\)0\\)");
  EXPECT_DEATH(check_device(nullptr), "device != \\(\\(void \\*\\)0\\)");
}

} // namespace
