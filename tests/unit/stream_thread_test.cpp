// The stream thread driven in-process by a scripted data source over real
// loopback sockets: what goes out, what is counted and when the stream ends.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"
#include "stream/interleave.h"
#include "stream/stats.h"

using namespace stream_test;
using namespace std::chrono_literals;

namespace {

constexpr int kFrameBuffer = 65536;

std::unique_ptr<rtp_thread> udp_stream(fake_source& src, const udp_sink& sink, int payload = kPayloadMpeg4) {
  auto t = std::make_unique<rtp_thread>();
  std::strcpy(t->ns.host, "127.0.0.1");
  std::strcpy(t->ns.device, "lo");
  t->ns.dstport = sink.port();
  t->ns.srcport = free_udp_port();
  t->ns.ttl = 16;
  t->ns.protocol = kProtocolUdp;
  t->session_id = 1;
  src.install(*t, payload, kFrameBuffer);
  EXPECT_EQ(init_rtp_thread(t.get()), 0);
  t->running.store(1);
  return t;
}

// A stream on one end of a local stream socket; the other end is returned.
std::unique_ptr<rtp_thread> tcp_stream(fake_source& src, const char* host, int& peer) {
  auto t = std::make_unique<rtp_thread>();
  std::strcpy(t->ns.host, host);
  std::strcpy(t->ns.device, "lo");
  t->ns.protocol = kProtocolTcp;
  src.install(*t, kPayloadMpeg4, kFrameBuffer);
  EXPECT_EQ(init_rtp_thread(t.get()), 0);
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
  t->ns.sock = sv[0];
  peer = sv[1];
  t->running.store(1);
  return t;
}

struct published {
  uint32_t timestamp, packets, octets;
  int active;
};
published read_stats() {
  pthread_mutex_lock(&rtcp_stats.mutex);
  published p{rtcp_stats.rtp_timestamp, rtcp_stats.packet_count, rtcp_stats.octet_count, stream_active.load()};
  pthread_mutex_unlock(&rtcp_stats.mutex);
  return p;
}

// Waits (bounded) until the stream thread has ended on its own.
bool ends_within(const rtp_thread& t, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (t.running.load() == 1 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
  return t.running.load() == 0;
}

} // namespace

TEST(StreamThread, SendsEveryFrameAndPublishesWholePacketCountsUntilTheSourceEnds) {
  udp_sink sink;
  fake_source src;
  auto t = udp_stream(src, sink);
  src.frame(pattern(3000), 9000);
  src.frame(pattern(100), 12000);

  rtp_thread_exe(t.get());

  EXPECT_EQ(t->running.load(), 0);
  EXPECT_EQ(src.open_calls(), 1);
  EXPECT_EQ(src.close_calls(), 1);
  const auto packets = sink.receive(4);
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(parse_rtp(packets[2]).timestamp, 9000u);
  EXPECT_TRUE(parse_rtp(packets[2]).marker);
  EXPECT_EQ(parse_rtp(packets[3]).timestamp, 12000u);
  for (uint16_t i = 0; i < 4; ++i) EXPECT_EQ(parse_rtp(packets[i]).seq, i);
  EXPECT_EQ(t->rtp_seq, 4u);

  const published p = read_stats();
  EXPECT_EQ(p.packets, 4u);
  EXPECT_EQ(p.octets, 1472u + 1472 + 92 + 112);
  EXPECT_EQ(p.timestamp, 12000u);
  EXPECT_EQ(p.active, 0) << "the last update tells the RTCP thread the stream stopped";
}

TEST(StreamThread, HundredFailedReadsInARowAreToleratedAndTheHundredAndFirstEndsTheStream) {
  udp_sink sink;
  fake_source src;
  auto t = udp_stream(src, sink);
  src.result(-1, 100);
  src.frame(pattern(10));
  src.result(-1, 100); // the frame between reset the count
  src.frame(pattern(10));
  src.result(-1, 101);
  src.frame(pattern(10)); // never read
  rtp_thread_exe(t.get());

  EXPECT_EQ(sink.receive(3, 300).size(), 2u);
  EXPECT_EQ(src.get_data_calls(), 100 + 1 + 100 + 1 + 101);
  EXPECT_EQ(src.close_calls(), 1);
  EXPECT_EQ(t->running.load(), 0);
}

TEST(StreamThread, ResultLargerThanTheBufferCountsAsFailedReadAndSendsNothing) {
  udp_sink sink;
  fake_source src;
  auto t = udp_stream(src, sink);
  src.oversize();
  src.frame(pattern(20, 4));
  rtp_thread_exe(t.get());

  const auto packets = sink.receive(2, 300);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(parse_rtp(packets[0]).payload, pattern(20, 4));
}

TEST(StreamThread, EmptyPassesSendNothingButPublishStatsAndStillCheckTheKeepAlive) {
  udp_sink sink;
  fake_source src;
  auto t = udp_stream(src, sink);
  src.at_end(script_end::idle); // get_data keeps returning 0
  t->timeout = 1;
  t->rtp_timestamp = 4242;
  update_stats(0, 0, 0, 0);
  keep_alive.store(0);

  std::thread runner(rtp_thread_exe, t.get());
  const bool ended = ends_within(*t, 10s);
  t->running.store(0);
  runner.join();

  EXPECT_TRUE(ended) << "a silent unicast receiver ends the stream after the time-out";
  EXPECT_GT(src.get_data_calls(), 1);
  EXPECT_TRUE(sink.receive(1, 100).empty());
  EXPECT_EQ(read_stats().timestamp, 4242u);
}

TEST(StreamThread, SendOnClosedConnectionEndsAtOnceAndOtherSendFailuresAfterHundredAndOne) {
  {
    fake_source src;
    int peer = -1;
    auto t = tcp_stream(src, "127.0.0.1", peer);
    close(t->ns.sock); // EBADF
    src.frame(pattern(10));
    src.frame(pattern(10));
    rtp_thread_exe(t.get());
    EXPECT_EQ(src.get_data_calls(), 1);
    EXPECT_EQ(src.close_calls(), 1);
    close(peer);
  }
  {
    fake_source src;
    int peer = -1;
    auto t = tcp_stream(src, "127.0.0.1", peer);
    close(peer); // EPIPE on every try
    src.frame(pattern(10));
    src.frame(pattern(10));
    rtp_thread_exe(t.get());
    EXPECT_EQ(src.get_data_calls(), 1);
    EXPECT_EQ(t->rtp_seq, 0u);
    EXPECT_EQ(read_stats().packets, 0u);
  }
}

TEST(StreamThread, OpenFailureEndsWithoutReadingOrClosingTheSource) {
  udp_sink sink;
  fake_source src;
  auto t = udp_stream(src, sink);
  src.fail_open();
  src.frame(pattern(10));
  rtp_thread_exe(t.get());
  EXPECT_EQ(t->running.load(), 0);
  EXPECT_EQ(src.get_data_calls(), 0);
  EXPECT_EQ(src.close_calls(), 0);
}

TEST(StreamThread, SocketSetUpFailureEndsBeforeOpeningTheSource) {
  udp_sink sink;
  fake_source src;
  auto t = udp_stream(src, sink);
  t->ns.srcport = 0; // refused for IPv4
  rtp_thread_exe(t.get());
  EXPECT_EQ(t->running.load(), 0);
  EXPECT_EQ(t->ns.sock, -1);
  EXPECT_EQ(src.open_calls(), 0);
}

TEST(StreamThread, SdPlaySendsEachNalUnitOfAFrameAndDropsSeiWithDisableH264User) {
  auto nal = [](uint8_t type, size_t body) {
    bytes b{0, 0, 0, 1, type};
    const bytes tail = pattern(body, type);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
  };
  bytes frame;
  for (const bytes& u : {nal(0x67, 10), nal(0x68, 4), nal(0x06, 8), nal(0x65, 2000)})
    frame.insert(frame.end(), u.begin(), u.end());

  for (const bool drop_sei : {false, true}) {
    udp_sink sink;
    fake_source src;
    auto t = udp_stream(src, sink, kPayloadH264);
    t->enable_sdplay = true;
    t->disable_h264user = drop_sei;
    src.frame(frame);
    bytes no_start_code = pattern(600);
    no_start_code.insert(no_start_code.end(), {0, 0, 0, 1, 0x65, 1, 2, 3});
    src.frame(no_start_code); // nothing in its first 512 bytes: not sent
    rtp_thread_exe(t.get());

    const auto packets = sink.receive(10, 300);
    std::vector<int> first_bytes;
    for (const bytes& p : packets) first_bytes.push_back(parse_rtp(p).payload[0]);
    if (drop_sei) {
      EXPECT_EQ(first_bytes, (std::vector<int>{0x78, 0x78, 0x7C, 0x7C}));
    } else {
      EXPECT_EQ(first_bytes, (std::vector<int>{0x78, 0x78, 0x18, 0x7C, 0x7C}));
    }
    // Every NAL unit ends with a marked packet.
    int marked = 0;
    for (const bytes& p : packets) marked += parse_rtp(p).marker ? 1 : 0;
    EXPECT_EQ(marked, drop_sei ? 3 : 4);
  }
}

TEST(StreamThread, Rfc2435FragmentOffsetFollowsTheScanBytesSent) {
  udp_sink sink;
  fake_source src;
  auto t = udp_stream(src, sink, kPayloadJpeg);
  t->enable_rfc2435 = true;
  t->jpeg_type = 1;
  t->jpeg_q = 50;
  src.frame(pattern(3000));
  rtp_thread_exe(t.get());
  const auto packets = sink.receive(3);
  ASSERT_EQ(packets.size(), 3u);
  // The loopback MTU is far above 1500: packets fill the 1500-byte buffer,
  // 1480 bytes after the RTP and main headers.
  const uint32_t expected[] = {0, 1480, 2960};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(packets[i].size(), i < 2 ? 1500u : 12u + 8 + 40);
    const bytes& p = parse_rtp(packets[i]).payload;
    EXPECT_EQ(static_cast<uint32_t>(p[1]) << 16 | p[2] << 8 | p[3], expected[i]);
  }
}
