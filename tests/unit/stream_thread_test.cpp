// The stream thread driven in-process by a scripted data source over real
// loopback sockets: what goes out, what is counted and when the stream ends.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <utility>

#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"
#include "stream/stats.h"

using namespace stream_test;

namespace {

class StreamThread : public ::testing::Test {
 protected:
  // A fresh source and a stream to the sink, or with `tcp` on one end of a
  // local stream connection whose other end is `peer`.
  void start(int payload = kPayloadMpeg4, bool tcp = false) {
    if (peer >= 0) close(std::exchange(peer, -1));
    src = fake_source{};
    t = std::make_unique<rtp_thread>();
    std::strcpy(t->ns.host, "127.0.0.1");
    std::strcpy(t->ns.device, "lo");
    t->ns.dstport = sink.port();
    t->ns.srcport = free_udp_port();
    t->ns.ttl = 16;
    t->ns.protocol = tcp ? kProtocolTcp : kProtocolUdp;
    t->session_id = 1;
    src.install(*t, payload, 65536);
    EXPECT_EQ(init_rtp_thread(t.get()), 0);
    int sv[2];
    if (tcp && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
      t->ns.sock = sv[0];
      peer = sv[1];
    }
    t->running.store(1);
  }

  // The shared statistics: timestamp, packets, octets, whether the stream runs.
  static std::tuple<uint32_t, uint32_t, uint32_t, int> stats() {
    pthread_mutex_lock(&rtcp_stats.mutex);
    const auto s = std::tuple(rtcp_stats.rtp_timestamp, rtcp_stats.packet_count, rtcp_stats.octet_count,
                              stream_active.load());
    pthread_mutex_unlock(&rtcp_stats.mutex);
    return s;
  }

  ~StreamThread() override {
    if (peer >= 0) close(peer);
  }

  udp_sink sink;
  fake_source src;
  std::unique_ptr<rtp_thread> t;
  int peer = -1;
};

} // namespace

TEST_F(StreamThread, SendsEveryFrameAndPublishesWholePacketCountsUntilTheSourceEnds) {
  // Over UDP a unit's packets go out in bursts, over TCP one by one.
  for (const bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "TCP" : "UDP");
    start(kPayloadMpeg4, tcp);
    src.frame(pattern(3000), 9000);
    src.frame(pattern(100), 12000);
    rtp_thread_exe(t.get());

    EXPECT_EQ(t->running.load(), 0);
    EXPECT_EQ(std::pair(src.open_calls, src.close_calls), std::pair(1, 1));
    EXPECT_EQ(t->rtp_seq, 4u);
    // Octets of whole packets, headers (and '$' prefix) included; the last
    // update tells the RTCP thread that the stream stopped.
    EXPECT_EQ(stats(), std::tuple(12000u, 4u, 3100u + 4 * (tcp ? 16 : 12), 0));
  }
}

TEST_F(StreamThread, HundredFailedReadsInARowAreToleratedAndAnOversizeResultCountsAsOne) {
  start();
  src.result(-1, 100);
  src.frame(pattern(20, 4)); // resets the count
  src.result(-1, 100);
  src.oversize(); // the 101st failure in a row: nothing of it is sent
  src.frame(pattern(10)); // never read
  rtp_thread_exe(t.get());

  const auto packets = sink.receive(3, 300);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(parse_rtp(packets[0]).payload, pattern(20, 4));
  EXPECT_EQ(src.get_data_calls, 100 + 1 + 100 + 1);
  EXPECT_EQ(src.close_calls, 1);
  EXPECT_EQ(t->running.load(), 0);
}

TEST_F(StreamThread, FailingTcpSendsEndTheStreamWithinTheFirstFrame) {
  // A descriptor closed under the stream (EBADF), a receiver gone (EPIPE).
  for (const bool close_ours : {true, false}) {
    SCOPED_TRACE(close_ours ? "descriptor closed" : "receiver gone");
    start(kPayloadMpeg4, true);
    close(close_ours ? t->ns.sock : std::exchange(peer, -1));
    src.frame(pattern(10));
    src.frame(pattern(10));
    rtp_thread_exe(t.get());
    EXPECT_EQ(src.get_data_calls, 1);
    EXPECT_EQ(src.close_calls, 1);
    EXPECT_EQ(std::get<1>(stats()), 0u);
  }
}

TEST_F(StreamThread, SetUpFailuresEndTheStreamWithoutReadingOrClosingTheSource) {
  start();
  t->ns.srcport = 0; // refused for IPv4
  rtp_thread_exe(t.get());
  EXPECT_EQ(t->running.load(), 0);
  EXPECT_EQ(t->ns.sock, -1);
  EXPECT_EQ(src.open_calls, 0);

  start();
  src.open_result = -1;
  src.frame(pattern(10));
  rtp_thread_exe(t.get());
  EXPECT_EQ(t->running.load(), 0);
  EXPECT_EQ(std::pair(src.get_data_calls, src.close_calls), std::pair(0, 0));
}

TEST_F(StreamThread, SdPlaySendsEachNalUnitOfAFrameAsAUnitAndDropsSeiWithDisableH264User) {
  start(kPayloadH264);
  t->enable_sdplay = true;
  t->disable_h264user = true;
  bytes frame;
  for (const auto& [type, body] : {std::pair<uint8_t, size_t>{0x67, 10}, {0x06, 8}, {0x65, 2000}}) {
    frame.insert(frame.end(), {0, 0, 0, 1, type});
    frame.resize(frame.size() + body, 0x11);
  }
  src.frame(frame);
  rtp_thread_exe(t.get());

  std::vector<std::pair<int, bool>> seen; // first payload byte, marker
  for (const bytes& p : sink.receive(10, 300)) seen.emplace_back(parse_rtp(p).payload[0], parse_rtp(p).marker);
  EXPECT_EQ(seen, (decltype(seen){{0x78, true}, {0x7C, false}, {0x7C, true}}));
}

TEST_F(StreamThread, Rfc2435FragmentOffsetFollowsTheScanBytesSent) {
  for (const bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "TCP" : "UDP");
    start(kPayloadJpeg, tcp);
    t->enable_rfc2435 = true;
    t->jpeg_type = 1;
    t->jpeg_q = 50;
    src.frame(pattern(3000));
    rtp_thread_exe(t.get());
    // The loopback MTU is far above 1500: packets fill the 1500-byte buffer,
    // 1480 scan bytes behind the RTP and main headers, 1476 behind the prefix.
    std::vector<int> offsets;
    if (tcp) {
      const bytes s = read_stream(peer, 1 << 16);
      for (size_t at = 0; at + 20 <= s.size(); at += 4 + (s[at + 2] << 8 | s[at + 3]))
        offsets.push_back(s[at + 17] << 16 | s[at + 18] << 8 | s[at + 19]);
    } else {
      for (const bytes& p : sink.receive(4, 300)) offsets.push_back(p[13] << 16 | p[14] << 8 | p[15]);
    }
    const int scan = tcp ? 1476 : 1480;
    EXPECT_EQ(offsets, (std::vector<int>{0, scan, 2 * scan}));
  }
}
