// The UDP send paths on arbitrary units: one packet per call, the bursts
// that the kernel cuts apart with segmentation offload, and the sendmmsg
// batches of a kernel that refuses the offload (here: a socket without UDP
// checksums, which it will not segment). Over loopback all must put
// exactly the same datagrams on the wire, whatever the unit and the MTU. The first byte picks the payload format and its
// flags, the next two the MTU, the next the JPEG Q and the next the length
// of the JPEG tables taken from the input; the rest is the unit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "stream/payload_format.h"
#include "stream/rtp_thread.h"
#include "stream/send_rtp.h"
#include "stream/udp_burst.h"

namespace {

constexpr int kWaitMs = 2000; // a datagram on loopback arrives long before

using datagram = std::vector<uint8_t>;

// A receiver and a sender on loopback, made once per process.
struct loopback_pair {
  int receiver = -1;
  int sender = -1;
  int sender_no_check = -1; // refused the offload: batches
  sockaddr_in to{};

  loopback_pair() {
    receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sender_no_check = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    FUZZ_EXPECT(receiver >= 0 && sender >= 0 && sender_no_check >= 0);
    const int on = 1;
    FUZZ_EXPECT(::setsockopt(sender_no_check, SOL_SOCKET, SO_NO_CHECK, &on, sizeof on) == 0);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_EXPECT(::bind(receiver, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0);
    socklen_t len = sizeof to;
    FUZZ_EXPECT(::getsockname(receiver, reinterpret_cast<sockaddr*>(&to), &len) == 0);
    // Room for a whole burst of the smallest packets.
    const int size = 4 << 20;
    if (::setsockopt(receiver, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
      ::setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
  }

  // The `count` datagrams the last call sent.
  void collect(int count, std::vector<datagram>& out) const {
    static uint8_t buffer[65536];
    for (int i = 0; i < count; ++i) {
      pollfd p{receiver, POLLIN, 0};
      FUZZ_EXPECT(::poll(&p, 1, kWaitMs) == 1);
      const ssize_t n = ::recv(receiver, buffer, sizeof buffer, 0);
      FUZZ_EXPECT(n >= 0);
      out.emplace_back(buffer, buffer + n);
    }
  }
};

struct stream_setup {
  int payload;
  bool rfc2435;
  bool disable_stap;
  uint8_t q;
  std::span<const uint8_t> tables;
};

std::unique_ptr<rtp_thread> make_thread(const loopback_pair& net, const stream_setup& s, uint16_t mtu) {
  auto t = std::make_unique<rtp_thread>();
  t->payload = s.payload;
  t->enable_rfc2435 = s.rfc2435;
  t->disable_stap = s.disable_stap;
  t->rtp_version = 2;
  t->rtp_payload_type = static_cast<uint8_t>(s.payload);
  t->rtp_seq = 65530; // wraps within a unit
  t->rtp_timestamp = 1234;
  t->rtp_ssrc = 0x5EED;
  t->jpeg_q = s.q;
  t->jpeg_type = 1;
  t->jpeg_qt_length = static_cast<uint16_t>(s.tables.size());
  if (!s.tables.empty()) std::memcpy(t->jpeg_qt_data, s.tables.data(), s.tables.size());
  t->ns.protocol = kProtocolUdp;
  t->ns.mtu = mtu;
  t->ns.sock = net.sender;
  std::strcpy(t->ns.host, "127.0.0.1");
  t->ns.addr.ai_family = AF_INET;
  t->ns.addr.ai_addr = reinterpret_cast<sockaddr*>(const_cast<sockaddr_in*>(&net.to));
  t->ns.addr.ai_addrlen = sizeof net.to;
  return t;
}

// The stream thread's loop over one unit, through either path: one packet
// per send_rtp call (its offset and remaining), or the burst's calls on the
// cursor. False when a packet could not be planned (the daemon counts that
// as a failed send).
bool send_unit(rtp_thread& t, std::span<const uint8_t> unit, udp_burst* burst, const loopback_pair& net,
               std::vector<datagram>& out) {
  const int size = static_cast<int>(unit.size());
  int offset = 0;
  int remaining = size;
  const packet_layout layout = layout_of(t);
  packet_cursor cursor = unit_cursor(t, layout, unit);
  for (size_t calls = 0; burst != nullptr ? !cursor.done() : remaining > 0; ++calls) {
    FUZZ_EXPECT(calls <= unit.size());
    int packets = 1;
    int sent;
    if (burst != nullptr) {
      uint32_t octets = 0;
      sent = burst->send(t, cursor, &octets);
      packets = sent;
      FUZZ_EXPECT(sent != 0); // loopback takes the offload, or the batch does
    } else {
      sent = send_rtp(&t, unit.data(), &offset, &remaining);
      FUZZ_EXPECT(sent != 0 && offset + remaining == size);
    }
    if (sent < 0) {
      FUZZ_EXPECT(errno == EMSGSIZE);
      return false;
    }
    net.collect(packets, out);
    if (burst != nullptr) keep_position(t, cursor);
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet_logs();
  static loopback_pair net;
  static std::optional<udp_burst> burst, batch;
  if (!burst) burst.emplace(net.sender);
  if (!batch) batch.emplace(net.sender_no_check);
  if (!burst->enabled() || burst->current() != udp_burst::mode::segment) return 0; // no offload here

  fuzz_bytes input(data, size);
  const uint8_t flags = input.u8();
  const uint16_t mtu = input.u16();
  const uint8_t q = input.u8();
  const size_t table_bytes = input.u8();
  std::span<const uint8_t> rest = input.rest();
  const std::span<const uint8_t> tables = rest.first(std::min(table_bytes, rest.size()));
  rest = rest.subspan(tables.size());
  const auto unit = fuzz_exact_copy(rest.data(), rest.size());
  const std::span<const uint8_t> bytes(unit.get(), rest.size());

  constexpr int kPayloads[] = {kPayloadH264, kPayloadJpeg, kPayloadMpeg4, kPayloadMetadata};
  const stream_setup setup{kPayloads[flags & 0x03], (flags & 0x04) != 0, (flags & 0x08) != 0, q, tables};

  std::vector<datagram> one_by_one;
  auto single = make_thread(net, setup, mtu);
  const bool single_done = send_unit(*single, bytes, nullptr, net, one_by_one);
  for (udp_burst* path : {&*burst, &*batch}) {
    std::vector<datagram> bursts;
    auto burst_thread = make_thread(net, setup, mtu);
    if (path == &*batch) burst_thread->ns.sock = net.sender_no_check;
    const bool burst_done = send_unit(*burst_thread, bytes, path, net, bursts);
    FUZZ_EXPECT(single_done == burst_done);
    FUZZ_EXPECT(one_by_one.size() == bursts.size());
    for (size_t i = 0; i < one_by_one.size(); ++i) FUZZ_EXPECT(one_by_one[i] == bursts[i]);
    FUZZ_EXPECT(single->rtp_seq == burst_thread->rtp_seq);
  }
  return 0;
}
