// RTCP sender reports: their NTP time, the port rules, and the RTCP thread
// over loopback UDP and a local stream connection.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>

#include "helpers/stream_wire.h"
#include "stream/interleave.h"
#include "stream/rtcp_report.h"
#include "stream/rtcp_thread.h"
#include "stream/stats.h"

using namespace stream_test;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<rtp_thread> stream_record(uint32_t dstport, uint32_t srcport, int protocol = kProtocolUdp) {
  auto t = std::make_unique<rtp_thread>();
  std::strcpy(t->ns.host, "127.0.0.1");
  std::strcpy(t->ns.device, "lo");
  t->ns.dstport = dstport;
  t->ns.srcport = srcport;
  t->ns.ttl = 4;
  t->ns.protocol = protocol;
  return t;
}

// Runs the RTCP thread: whether, once started, it ended on its own within
// `limit` (a failed start does not count).
bool ends_within(rtcp_thread& rtcp, std::chrono::seconds limit) {
  rtcp.running.store(1);
  auto run = std::async(std::launch::async, rtcp_thread_exe, &rtcp);
  const bool ended = run.wait_for(limit) == std::future_status::ready;
  rtcp.running.store(0);
  return ended && run.get() == nullptr;
}

} // namespace

TEST(SenderReport, NtpTimeAddsTheEpochOffsetAndComputesTheFractionInSinglePrecision) {
  EXPECT_EQ(ntp_from_timeval({0, 0}).seconds, 2208988800u);
  EXPECT_EQ(ntp_from_timeval({2085978496, 0}).seconds, 0u) << "wraps modulo 2^32";
  EXPECT_EQ(ntp_from_timeval({0, 999999}).fraction, 4294962944u); // double precision would give 4294963001
  EXPECT_EQ(ntp_from_timeval({0, 123456}).fraction, 530239488u);  // ... and 530239482
}

TEST(RtcpInit, TakesTheNextPortPairAndRefusesPort65535) {
  rtcp_thread rtcp;
  auto t = stream_record(65534, 6000);
  ASSERT_EQ(init_rtcp_thread(&rtcp, t.get()), 0);
  EXPECT_EQ(rtcp.ns.dstport, 65535u);
  EXPECT_EQ(rtcp.ns.srcport, 6001u);

  for (const auto& [dst, src] : {std::pair{65535u, 6000u}, std::pair{5000u, 65535u}}) {
    t = stream_record(dst, src);
    EXPECT_EQ(init_rtcp_thread(&rtcp, t.get()), -1) << dst << " " << src;
  }
}

TEST(RtcpThread, TenFailedReportsInARowEndTheThreadButNotTheStream) {
  auto t = stream_record(5000, 6000);
  rtcp_thread rtcp;
  ASSERT_EQ(init_rtcp_thread(&rtcp, t.get()), 0);
  rtcp.ns.srcport = free_udp_port();
  rtcp.ns.dstport = 0; // every sendto is refused
  EXPECT_TRUE(ends_within(rtcp, 15s));
  EXPECT_EQ(stream_active.load(), 1);
}

TEST(RtcpThread, SharedInterleavedConnectionIsClosedOnceWhicheverThreadLetsGoFirst) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  auto t = stream_record(5000, 6000, kProtocolTcp);
  rtcp_thread rtcp;
  ASSERT_EQ(init_rtcp_thread(&rtcp, t.get()), 0);
  rtcp.ns.sock = sv[0];
  stream_active.store(0); // the stream has stopped: the thread ends at once
  EXPECT_TRUE(ends_within(rtcp, 3s));
  // The RTCP thread closed the connection; the number may now belong to a
  // new descriptor, which the stream thread's release must leave alone.
  const int reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
  interleave_close(sv[0]);
  EXPECT_NE(fcntl(reused, F_GETFD), -1);
  close(reused);
  close(sv[1]);
}
