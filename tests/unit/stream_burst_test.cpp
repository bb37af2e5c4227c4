// A unit's packets handed to the kernel in bursts (UDP segmentation
// offload): what arrives must be exactly what one send per packet gives,
// and a refused offload or a failed send must leave the cursor as it was.
// Units here span several bursts; small ones are the packet_paths fuzz
// corpus's, and the stream thread's counting of burst packets shows on the
// wire in the engine's system tests.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <numeric>

#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"
#include "stream/send_rtp.h"
#include "stream/udp_burst.h"

using namespace stream_test;

namespace {

constexpr int kBigUnit = 70000; // more than one burst of 64 KiB

struct payload_case {
  const char* name;
  int payload;
  bool rfc2435;
  bytes unit;
};

bytes h264_unit(uint8_t nal_header, size_t body) {
  bytes unit = {0, 0, 0, 1, nal_header};
  const bytes rest = pattern(body, nal_header);
  unit.insert(unit.end(), rest.begin(), rest.end());
  return unit;
}

std::vector<payload_case> cases() {
  return {
      {"H.264 slice in FU-A", kPayloadH264, false, h264_unit(0x65, kBigUnit)},
      {"MPEG-4", kPayloadMpeg4, false, pattern(kBigUnit, 3)},
      {"JPEG with in-band tables", kPayloadJpeg, true, pattern(kBigUnit, 9)},
  };
}

// A record aimed at the sink with the header state a source would set; the
// sequence number wraps within the first burst.
std::unique_ptr<rtp_thread> record(const payload_case& c, sockaddr_in& dest, const udp_sink& sink) {
  auto t = std::make_unique<rtp_thread>();
  t->payload = c.payload;
  t->enable_rfc2435 = c.rfc2435;
  t->rtp_version = 2;
  t->rtp_payload_type = static_cast<uint8_t>(c.payload);
  t->rtp_seq = 0xFFF0;
  t->rtp_timestamp = 0x01020304;
  t->rtp_ssrc = 0xA0B0C0D0;
  t->jpeg_type = 1;
  t->jpeg_q = 255;
  t->jpeg_width = 80;
  t->jpeg_height = 60;
  t->jpeg_qt_length = 128;
  for (int i = 0; i < 128; ++i) t->jpeg_qt_data[i] = static_cast<uint8_t>(i + 1);
  aim_at(*t, dest, sink);
  const int big = 4 << 20;
  setsockopt(sink.fd(), SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  return t;
}

struct sent_unit {
  std::vector<int> packets_per_call;
  uint32_t octets = 0;
};

// Sends the whole unit the way the stream thread does: the sequence number
// and the JPEG fragment offset move on after every call that sent.
sent_unit send_all(rtp_thread& t, const bytes& unit, udp_burst* burst) {
  sent_unit out;
  const packet_layout layout = layout_of(t);
  packet_cursor cursor = unit_cursor(t, layout, unit);
  for (int calls = 0; !cursor.done() && calls < kBigUnit; ++calls) {
    int packets = 1;
    uint32_t octets = 0;
    if (burst != nullptr) {
      packets = burst->send(t, cursor, &octets);
    } else {
      const int sent = send_packet(t, cursor);
      octets = static_cast<uint32_t>(sent);
      packets = sent > 0 ? 1 : sent;
    }
    if (packets <= 0) break;
    keep_position(t, cursor);
    out.packets_per_call.push_back(packets);
    out.octets += octets;
  }
  return out;
}

size_t total(const std::vector<int>& v) { return static_cast<size_t>(std::accumulate(v.begin(), v.end(), 0)); }

size_t bytes_of(const std::vector<bytes>& packets) {
  return std::accumulate(packets.begin(), packets.end(), size_t{0},
                         [](size_t n, const bytes& p) { return n + p.size(); });
}

// One burst call that must send nothing: it leaves the cursor where it was.
// Returns what the call gave, errno kept.
int send_nothing(udp_burst& burst, rtp_thread& t, const bytes& unit) {
  const packet_layout layout = layout_of(t);
  packet_cursor cursor = unit_cursor(t, layout, unit);
  uint32_t octets = 0;
  const int result = burst.send(t, cursor, &octets);
  const int error = errno;
  EXPECT_EQ(cursor.offset(), 0u);
  EXPECT_EQ(cursor.seq(), 0xFFF0u);
  errno = error;
  return result;
}

} // namespace

TEST(UdpBurst, BurstsPutExactlyThePacketsOfOneSendPerPacketOnTheWire) {
  for (const payload_case& c : cases()) {
    SCOPED_TRACE(c.name);
    udp_sink one_by_one_sink, burst_sink;
    sockaddr_in dest1{}, dest2{};
    auto reference = record(c, dest1, one_by_one_sink);
    auto bursting = record(c, dest2, burst_sink);
    udp_burst burst(bursting->ns.sock);
    ASSERT_TRUE(burst.enabled());

    const sent_unit one = send_all(*reference, c.unit, nullptr);
    const sent_unit many = send_all(*bursting, c.unit, &burst);
    const std::vector<bytes> expected = one_by_one_sink.receive(total(one.packets_per_call));
    const std::vector<bytes> got = burst_sink.receive(total(many.packets_per_call));

    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(bursting->rtp_seq, reference->rtp_seq);
    EXPECT_EQ(many.octets, bytes_of(expected));
    // The unit takes more than one call but far fewer than one per packet,
    // and no call exceeds the kernel's segment limit.
    EXPECT_GT(many.packets_per_call.size(), 1u);
    EXPECT_LT(many.packets_per_call.size(), expected.size() / 10);
    for (const int n : many.packets_per_call) EXPECT_LE(n, udp_burst::kMaxPackets);
    close(reference->ns.sock);
    close(bursting->ns.sock);
  }
}

TEST(UdpBurst, RefusedOffloadTakesNothingOffAndOneSendPerPacketFinishesTheUnit) {
  const payload_case c = cases()[0];
  udp_sink one_by_one_sink, burst_sink;
  sockaddr_in dest1{}, dest2{};
  auto reference = record(c, dest1, one_by_one_sink);
  auto refused = record(c, dest2, burst_sink);
  // Without UDP checksums the kernel will not segment: the send is refused.
  const int on = 1;
  ASSERT_EQ(setsockopt(refused->ns.sock, SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
  udp_burst burst(refused->ns.sock);
  ASSERT_TRUE(burst.enabled());

  EXPECT_EQ(send_nothing(burst, *refused, c.unit), 0);
  EXPECT_FALSE(burst.enabled());

  send_all(*reference, c.unit, nullptr);
  const sent_unit fallback = send_all(*refused, c.unit, nullptr);
  // One more than expected, briefly: nothing may arrive twice.
  const std::vector<bytes> expected = one_by_one_sink.receive(total(fallback.packets_per_call) + 1, 200);
  EXPECT_EQ(burst_sink.receive(expected.size() + 1, 200), expected);
  close(reference->ns.sock);
  close(refused->ns.sock);

  // A socket that is not UDP is never offered the offload.
  const int stream_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_FALSE(udp_burst(stream_socket).enabled());
  close(stream_socket);
}

TEST(UdpBurst, FailedSendTakesNothingOffTheUnitAndKeepsTheFragmentOffset) {
  const payload_case c = cases()[2];
  udp_sink sink;
  sockaddr_in dest{};
  auto t = record(c, dest, sink);
  udp_burst burst(t->ns.sock);
  close(t->ns.sock);
  errno = 0;
  EXPECT_LT(send_nothing(burst, *t, c.unit), 0);
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(burst.enabled());
  // One send per packet keeps the cursor too, so a retry rebuilds the same packet.
  const packet_layout layout = layout_of(*t);
  packet_cursor cursor = unit_cursor(*t, layout, c.unit);
  EXPECT_LT(send_packet(*t, cursor), 0);
  EXPECT_EQ(cursor.offset(), 0u);
}
