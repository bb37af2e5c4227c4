// RTCP sender reports: their bytes, the port rules, and the RTCP thread over
// loopback UDP and a local stream connection.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "helpers/stream_wire.h"
#include "stream/interleave.h"
#include "stream/rtcp_report.h"
#include "stream/rtcp_thread.h"
#include "stream/stats.h"

using namespace stream_test;
using namespace std::chrono_literals;

namespace {

uint32_t be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// A UDP port p with p + 1 free as well (bounded number of tries).
uint16_t free_port_pair() {
  for (int i = 0; i < 50; ++i) {
    const uint16_t p = free_udp_port();
    if (p >= 65534) continue;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(p + 1));
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (ok) return p;
  }
  return 0;
}

std::unique_ptr<rtp_thread> stream_record(const char* host, uint32_t dstport, uint32_t srcport) {
  auto t = std::make_unique<rtp_thread>();
  std::strcpy(t->ns.host, host);
  std::strcpy(t->ns.device, "lo");
  t->ns.dstport = dstport;
  t->ns.srcport = srcport;
  t->ns.ttl = 4;
  t->ns.protocol = kProtocolUdp;
  t->rtp_ssrc = 0xCAFEF00D;
  t->rtp_timestamp = 1234;
  return t;
}

// Runs the RTCP thread and notes when it has returned.
struct rtcp_runner {
  explicit rtcp_runner(rtcp_thread& r) : rtcp(r) {
    rtcp.running.store(1);
    worker = std::thread([this] {
      rtcp_thread_exe(&rtcp);
      done.store(true);
    });
  }
  bool ends_within(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done.load() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
    return done.load();
  }
  ~rtcp_runner() {
    rtcp.running.store(0);
    worker.join();
  }
  rtcp_thread& rtcp;
  std::atomic<bool> done{false};
  std::thread worker;
};

} // namespace

TEST(SenderReport, Is28BytesOverUdpAnd32OverTcpWithPrefix24ChannelLength28) {
  sender_report r;
  r.ssrc = 0x01020304;
  r.ntp = {0xA0A1A2A3, 0xB0B1B2B3};
  r.rtp_timestamp = 0xC0C1C2C3;
  r.packet_count = 7;
  r.octet_count = 0x00010000;
  std::array<uint8_t, kInterleavedReportSize> out{};
  const bytes body{0x80, 200,  0x00, 0x06, 0x01, 0x02, 0x03, 0x04, 0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1,
                   0xB2, 0xB3, 0xC0, 0xC1, 0xC2, 0xC3, 0x00, 0x00, 0x00, 0x07, 0x00, 0x01, 0x00, 0x00};

  ASSERT_EQ(write_sender_report(out, r, -1), 28);
  EXPECT_EQ(bytes(out.begin(), out.begin() + 28), body);

  ASSERT_EQ(write_sender_report(out, r, 3), 32);
  EXPECT_EQ(bytes(out.begin(), out.begin() + 4), (bytes{0x24, 0x03, 0x00, 0x1C}));
  EXPECT_EQ(bytes(out.begin() + 4, out.end()), body);
}

TEST(SenderReport, NtpTimeAddsTheEpochOffsetAndComputesTheFractionInSinglePrecision) {
  EXPECT_EQ(ntp_from_timeval({0, 0}).seconds, 2208988800u);
  EXPECT_EQ(ntp_from_timeval({2085978496, 0}).seconds, 0u) << "wraps modulo 2^32";
  EXPECT_EQ(ntp_from_timeval({0, 999999}).fraction, 4294962944u); // double precision would give 4294963001
  EXPECT_EQ(ntp_from_timeval({0, 123456}).fraction, 530239488u);  // ... and 530239482
  EXPECT_EQ(ntp_from_timeval({0, 1}).fraction, 4294u);
}

TEST(RtcpInit, PortsUpTo65534AreRaisedByOneAnd65535IsRefused) {
  rtcp_thread rtcp;
  auto t = stream_record("198.51.100.2", 65534, 65534);
  t->rtp_timestamp = 777;
  ASSERT_EQ(init_rtcp_thread(&rtcp, t.get()), 0);
  EXPECT_EQ(rtcp.ns.dstport, 65535u);
  EXPECT_EQ(rtcp.ns.srcport, 65535u);
  EXPECT_STREQ(rtcp.ns.host, "198.51.100.2");
  EXPECT_EQ(rtcp_stats.ssrc, 0xCAFEF00Du);
  EXPECT_EQ(rtcp_stats.rtp_timestamp, 777u);
  EXPECT_EQ(rtcp_stats.packet_count, 0u);
  EXPECT_EQ(stream_active.load(), 1);

  t->ns.dstport = 65535;
  EXPECT_EQ(init_rtcp_thread(&rtcp, t.get()), -1);
  t->ns.dstport = 5000;
  t->ns.srcport = 65535;
  EXPECT_EQ(init_rtcp_thread(&rtcp, t.get()), -1);
  t->ns.srcport = 6000;
  ASSERT_EQ(init_rtcp_thread(&rtcp, t.get()), 0);
  EXPECT_EQ(rtcp.ns.dstport, 5001u);
  EXPECT_EQ(rtcp.ns.srcport, 6001u);
}

TEST(RtcpThread, TenFailedReportsInARowEndTheThread) {
  udp_sink sink;
  const uint16_t src = free_port_pair();
  ASSERT_NE(src, 0);
  auto t = stream_record("127.0.0.1", 0, src);
  rtcp_thread rtcp;
  ASSERT_EQ(init_rtcp_thread(&rtcp, t.get()), 0);
  rtcp.ns.dstport = 0; // every sendto is refused
  rtcp_runner runner(rtcp);
  EXPECT_FALSE(runner.ends_within(3s)) << "nothing is sent before the first report is due";
  EXPECT_TRUE(runner.ends_within(10s));
  EXPECT_EQ(stream_active.load(), 1);
}

TEST(RtcpThread, InterleavedReportsCarryTheChannelAndTheSharedConnectionIsClosedOnce) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  auto t = stream_record("127.0.0.1", 5000, 6000);
  t->ns.protocol = kProtocolTcp;
  rtcp_thread rtcp;
  rtcp.interleaved = 3;
  ASSERT_EQ(init_rtcp_thread(&rtcp, t.get()), 0);
  rtcp.ns.sock = sv[0];
  update_stats(5, 6, 7, 1);
  {
    rtcp_runner runner(rtcp);
    const bytes got = read_stream(sv[1], 32, 8000);
    ASSERT_EQ(got.size(), 32u);
    EXPECT_EQ(bytes(got.begin(), got.begin() + 8), (bytes{0x24, 0x03, 0x00, 0x1C, 0x80, 200, 0x00, 0x06}));
    EXPECT_EQ(be32(&got[24]), 6u);
    update_stats(5, 6, 7, 0);
    EXPECT_TRUE(runner.ends_within(3s));
  }
  // The RTCP thread closed the connection; the number may now belong to a
  // new descriptor, which the stream thread's release must leave alone.
  const int reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
  interleave_close(sv[0]);
  EXPECT_NE(fcntl(reused, F_GETFD), -1);
  close(reused);
  close(sv[1]);
}
