// A unit's packets handed to the kernel in as few calls as it allows (UDP
// segmentation offload, else sendmmsg batches, else one send per packet):
// whatever the kernel offers or refuses, even halfway through a unit, what
// arrives must be exactly what one send per packet gives, and a failed send
// must leave the cursor as it was. The kernel's refusals are played by the
// benchmark's preload, linked in. Units here span several bursts; small
// ones are the packet_paths fuzz corpus's, and the stream thread's counting
// of burst packets shows on the wire in the engine's system tests.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <numeric>

#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"
#include "preload_kernel_faults.h"
#include "stream/send_rtp.h"
#include "stream/udp_burst.h"

using namespace stream_test;

namespace {

constexpr int kBigUnit = 200000; // several bursts of 64 KiB, more than two batches

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

// A record aimed at a loopback sink with the header state a source would
// set; the sequence number wraps within the first burst.
struct aimed {
  sockaddr_in dest4{};
  sockaddr_in6 dest6{};
  std::unique_ptr<rtp_thread> t = std::make_unique<rtp_thread>();

  aimed(const payload_case& c, const udp_sink& sink, bool ipv6) {
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
    if (ipv6) {
      aim_at(*t, dest6, sink);
    } else {
      aim_at(*t, dest4, sink);
    }
  }
  ~aimed() { close(t->ns.sock); }
};

struct sent_unit {
  std::vector<int> packets_per_call;
  uint32_t octets = 0;
};

// Sends the whole unit the way the stream thread does: bursts while the
// burst sender is enabled, then one packet per call; the record takes the
// cursor's position after every call that sent.
sent_unit send_all(rtp_thread& t, const bytes& unit, udp_burst* burst) {
  sent_unit out;
  const packet_layout layout = layout_of(t);
  packet_cursor cursor = unit_cursor(t, layout, unit);
  for (int calls = 0; !cursor.done() && calls < kBigUnit; ++calls) {
    int packets = 0;
    uint32_t octets = 0;
    if (burst != nullptr && burst->enabled()) packets = burst->send(t, cursor, &octets);
    if (packets == 0 && (burst == nullptr || !burst->enabled())) {
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

using mode = udp_burst::mode;

struct kernel_case {
  const char* name;
  kernel_faults_config faults;
  bool no_checksums;   // the kernel itself refuses to segment (IPv4 only)
  mode first, last;    // the burst sender's mode before and after the unit
  bool whole_batches;  // every call but the last carries a full batch
};

} // namespace

TEST(UdpBurst, EveryKernelPathPutsExactlyThePacketsOfOneSendPerPacketOnTheWire) {
  const kernel_case kernels[] = {
      {"offload", {0, -1, 0, 0}, false, mode::segment, mode::segment, false},
      {"offload refused by the kernel", {0, -1, 0, 0}, true, mode::segment, mode::batch, true},
      {"offload refused after the first burst", {0, 1, 0, 0}, false, mode::segment, mode::batch, false},
      {"no UDP_SEGMENT: sendmmsg", {1, -1, 0, 0}, false, mode::batch, mode::batch, true},
      {"no sendmmsg either: one send per packet", {1, -1, 1, 0}, false, mode::batch, mode::single, false},
  };
  for (const bool ipv6 : {false, true}) {
    for (const kernel_case& k : kernels) {
      for (const payload_case& c : cases()) {
        SCOPED_TRACE(std::string(ipv6 ? "IPv6, " : "IPv4, ") + k.name + ", " + c.name);
        if (ipv6 && k.no_checksums) continue;
        udp_sink one_by_one_sink(ipv6), burst_sink(ipv6);
        if (!burst_sink.bound()) GTEST_SKIP() << "no IPv6 loopback";
        aimed reference(c, one_by_one_sink, ipv6), bursting(c, burst_sink, ipv6);
        const int on = 1;
        if (k.no_checksums) { ASSERT_EQ(setsockopt(bursting.t->ns.sock, SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0); }
        const sent_unit one = send_all(*reference.t, c.unit, nullptr);

        kernel_faults = k.faults;
        udp_burst burst(bursting.t->ns.sock);
        EXPECT_EQ(burst.current(), k.first);
        const sent_unit many = send_all(*bursting.t, c.unit, &burst);
        kernel_faults = kernel_faults_config{0, -1, 0, 0};
        EXPECT_EQ(burst.current(), k.last);

        // One more than sent, briefly: nothing may arrive twice.
        const std::vector<bytes> expected = one_by_one_sink.receive(total(one.packets_per_call));
        const std::vector<bytes> got = burst_sink.receive(total(many.packets_per_call) + 1, 200);
        ASSERT_GT(expected.size(), 2u * udp_burst::kMaxPackets);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(bursting.t->rtp_seq, reference.t->rtp_seq);
        EXPECT_EQ(many.octets, bytes_of(expected));
        // No call exceeds the kernel's segment limit; bursts and batches take
        // far fewer calls than packets.
        for (const int n : many.packets_per_call) EXPECT_LE(n, udp_burst::kMaxPackets);
        if (k.last != mode::single) { EXPECT_LT(many.packets_per_call.size(), expected.size() / 10); }
        if (k.whole_batches) { EXPECT_EQ(many.packets_per_call.front(), udp_burst::kMaxPackets); }
        if (k.last == mode::single) { EXPECT_EQ(many.packets_per_call.size(), expected.size()); }
      }
    }
  }
}

TEST(UdpBurst, FailedSendTakesNothingOffTheUnitAndKeepsTheFragmentOffset) {
  // Each path keeps the cursor, so a retry rebuilds the same packets.
  const struct {
    const char* name;
    bool segment, single;
  } paths[] = {{"offload", true, false}, {"sendmmsg", false, false}, {"one send per packet", false, true}};
  for (const auto& path : paths) {
    SCOPED_TRACE(path.name);
    const payload_case c = cases()[2];
    udp_sink sink;
    aimed a(c, sink, false);
    kernel_faults.no_udp_segment = !path.segment;
    udp_burst burst(a.t->ns.sock);
    kernel_faults.no_udp_segment = 0;
    close(a.t->ns.sock);
    a.t->ns.sock = -1;
    const packet_layout layout = layout_of(*a.t);
    packet_cursor cursor = unit_cursor(*a.t, layout, c.unit);
    uint32_t octets = 0;
    errno = 0;
    EXPECT_LT(path.single ? send_packet(*a.t, cursor) : burst.send(*a.t, cursor, &octets), 0);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(cursor.offset(), 0u);
    EXPECT_EQ(cursor.seq(), 0xFFF0u);
    EXPECT_TRUE(burst.enabled());
  }
}
