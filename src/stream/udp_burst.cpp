#include "stream/udp_burst.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "net/udp_segment.h"
#include "stream/packet_plan.h"
#include "stream/rtp_header.h"
#include "stream/rtp_thread.h"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

constexpr socklen_t kIpv6AddrLen = 28;
constexpr socklen_t kIpv4AddrLen = 16;
constexpr int kSeqOffset = 2; // sequence number in the RTP header

// What a kernel or route without the offload answers (an unknown option, a
// device that cannot checksum, a segment larger than the path allows).
bool refused_offload(int err) {
  return err == EINVAL || err == EIO || err == ENOPROTOOPT || err == EOPNOTSUPP || err == EMSGSIZE;
}

} // namespace

udp_burst::udp_burst(int sock) {
  int segment = 0;
  socklen_t len = sizeof segment;
  enabled_ = sock >= 0 && getsockopt(sock, SOL_UDP, UDP_SEGMENT, &segment, &len) == 0;
}

// Plans the packets of one burst into heads_/iov_; returns their count.
int udp_burst::plan(rtp_thread& t, const unsigned char* unit, int offset, int remaining, int* consumed) {
  h264_fu_state& h264 = stream_h264_state();
  const uint32_t first_jpeg_offset = t.jpeg_offset;
  size_t head_at = 0;
  int count = 0;
  *consumed = 0;
  segment_ = 0;
  bytes_ = 0;
  while (remaining > *consumed && count < kMaxPackets && head_at + kPacketBufferSize <= heads_.size()) {
    // As the stream thread does after every packet sent.
    if (count > 0 && t.enable_rfc2435) t.jpeg_offset = static_cast<uint32_t>(offset + *consumed);
    const std::span<const uint8_t> rest(unit + offset + *consumed, static_cast<size_t>(remaining - *consumed));
    packet_plan p;
    if (!plan_packet(t, rest, h264, packet_buffer(heads_.data() + head_at, kPacketBufferSize), p)) break;
    const int size = p.head_len + p.payload_len;
    // Segments share one size; only the last may be shorter.
    if (count > 0 && (size > segment_ || static_cast<int>(bytes_) + size > kMaxBytes)) break;
    if (count == 0) segment_ = size;
    put_be16(heads_.data() + head_at + kSeqOffset, t.rtp_seq + static_cast<uint32_t>(count));
    iov_[2 * count] = {heads_.data() + head_at, static_cast<size_t>(p.head_len)};
    iov_[2 * count + 1] = {const_cast<unsigned char*>(rest.data() + p.skip), static_cast<size_t>(p.payload_len)};
    head_at += static_cast<size_t>(p.head_len);
    bytes_ += static_cast<uint32_t>(size);
    *consumed += p.skip + p.payload_len;
    ++count;
    if (size < segment_) break;
  }
  t.jpeg_offset = first_jpeg_offset;
  return count;
}

int udp_burst::send(rtp_thread& t, const unsigned char* unit, int* offset, int* remaining, uint32_t* octets) {
  if (*remaining <= 0) return 0;
  int consumed = 0;
  const int count = plan(t, unit, *offset, *remaining, &consumed);
  if (count == 0) {
    errno = EMSGSIZE; // the headers leave no room for payload
    return -1;
  }
  alignas(cmsghdr) udp_segment_control control;
  msghdr msg{};
  msg.msg_name = t.ns.addr.ai_addr;
  msg.msg_namelen = std::strchr(t.ns.host, ':') != nullptr ? kIpv6AddrLen : kIpv4AddrLen;
  msg.msg_iov = iov_.data();
  msg.msg_iovlen = static_cast<size_t>(2 * count);
  if (count > 1) {
    attach_udp_segment(msg, control, static_cast<uint16_t>(segment_));
  }
  const ssize_t sent = sendmsg(t.ns.sock, &msg, 0);
  const int err = errno;
  if (sent < 0 && count > 1 && refused_offload(err)) {
    enabled_ = false;
    return 0;
  }
  track_network_state(sent, err);
  if (sent < 0) {
    errno = err;
    return -1;
  }
  *offset += consumed;
  *remaining -= consumed;
  *octets = bytes_;
  return count;
}
