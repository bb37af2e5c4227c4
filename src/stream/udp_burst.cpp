#include "stream/udp_burst.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <span>

#include "net/udp_segment.h"
#include "stream/rtp_thread.h"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

// What a kernel or route without the offload answers (an unknown option, a
// device that cannot checksum, a segment larger than the path allows).
bool refused_offload(int err) {
  return err == EINVAL || err == EIO || err == ENOPROTOOPT || err == EOPNOTSUPP || err == EMSGSIZE;
}

// One datagram (or one segmented burst) to the stream's destination.
msghdr to_destination(const rtp_thread& t, iovec* iov, size_t count) {
  msghdr msg{};
  msg.msg_name = t.ns.addr.ai_addr;
  msg.msg_namelen = static_cast<socklen_t>(t.ns.addr.ai_addrlen);
  msg.msg_iov = iov;
  msg.msg_iovlen = count;
  return msg;
}

} // namespace

udp_burst::udp_burst(int sock) {
  int segment = 0;
  socklen_t len = sizeof segment;
  mode_ = sock >= 0 && getsockopt(sock, SOL_UDP, UDP_SEGMENT, &segment, &len) == 0 ? mode::segment : mode::batch;
}

// Plans the packets of one burst into heads_/iov_ on `ahead`; returns their
// count. `same_size`: all but the last share one size and fit one datagram.
int udp_burst::plan(packet_cursor& ahead, bool same_size) {
  size_t head_at = 0;
  int count = 0;
  segment_ = 0;
  bytes_ = 0;
  while (!ahead.done() && count < kMaxPackets && head_at + kPacketBufferSize <= heads_.size()) {
    packet_cursor trial = ahead;
    planned_packet p;
    if (!trial.next(packet_buffer(heads_.data() + head_at, kPacketBufferSize), p)) break;
    const int size = static_cast<int>(p.size());
    if (same_size && count > 0 && (size > segment_ || static_cast<int>(bytes_) + size > kMaxBytes)) break;
    if (count == 0) segment_ = size;
    ahead = trial;
    iov_[2 * count] = {const_cast<uint8_t*>(p.head.data()), p.head.size()};
    iov_[2 * count + 1] = {const_cast<uint8_t*>(p.payload.data()), p.payload.size()};
    sizes_[count] = static_cast<uint16_t>(size);
    head_at += p.head.size();
    bytes_ += static_cast<uint32_t>(size);
    ++count;
    if (same_size && size < segment_) break;
  }
  return count;
}

int udp_burst::send(rtp_thread& t, packet_cursor& cursor, uint32_t* octets) {
  if (cursor.done()) return 0;
  if (mode_ == mode::segment) {
    const int sent = send_segmented(t, cursor, octets);
    if (mode_ == mode::segment) return sent;
    // Refused just now: the same packets go in a batch instead.
  }
  return mode_ == mode::batch ? send_batch(t, cursor, octets) : 0;
}

int udp_burst::send_segmented(rtp_thread& t, packet_cursor& cursor, uint32_t* octets) {
  packet_cursor ahead = cursor;
  const int count = plan(ahead, true);
  if (count == 0) {
    errno = EMSGSIZE; // the headers leave no room for payload
    return -1;
  }
  alignas(cmsghdr) udp_segment_control control;
  msghdr msg = to_destination(t, iov_.data(), static_cast<size_t>(2 * count));
  if (count > 1) {
    attach_udp_segment(msg, control, static_cast<uint16_t>(segment_));
  }
  const ssize_t sent = sendmsg(t.ns.sock, &msg, 0);
  const int err = errno;
  if (sent < 0 && count > 1 && refused_offload(err)) {
    mode_ = mode::batch;
    return 0;
  }
  track_network_state(sent, err);
  if (sent < 0) {
    errno = err;
    return -1;
  }
  cursor = ahead;
  *octets = bytes_;
  return count;
}

int udp_burst::send_batch(rtp_thread& t, packet_cursor& cursor, uint32_t* octets) {
  packet_cursor ahead = cursor;
  const int count = plan(ahead, false);
  if (count == 0) {
    errno = EMSGSIZE;
    return -1;
  }
  for (int k = 0; k < count; ++k) msgs_[k].msg_hdr = to_destination(t, &iov_[2 * k], 2);
  const int sent = sendmmsg(t.ns.sock, msgs_.data(), static_cast<unsigned>(count), 0);
  const int err = errno;
  if (sent < 0 && err == ENOSYS) {
    mode_ = mode::single;
    return 0;
  }
  track_network_state(sent, err);
  if (sent < 0) {
    errno = err;
    return -1;
  }
  if (sent < count) {
    // Only the first packets went out: the cursor moves past those alone;
    // the rest is planned again by the next call.
    ahead = cursor;
    std::array<uint8_t, kPacketBufferSize> scratch{};
    planned_packet p;
    for (int k = 0; k < sent; ++k) ahead.next(scratch, p);
  }
  uint32_t total = 0;
  for (int k = 0; k < sent; ++k) total += sizes_[k];
  cursor = ahead;
  *octets = total;
  return sent;
}
