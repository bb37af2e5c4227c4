#include "stream/send_rtp.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "stream/evman_notice.h"
#include "stream/interleave.h"
#include "stream/packet_plan.h"
#include "stream/rtp_thread.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "rtp";

namespace {

constexpr socklen_t kIpv6AddrLen = 28;
constexpr socklen_t kIpv4AddrLen = 16;

bool is_network_down(int err) {
  return err == ENETDOWN || err == ENETUNREACH || err == ENETRESET || err == EHOSTDOWN || err == EHOSTUNREACH;
}

ssize_t send_datagram(const rtp_thread& thread, std::span<const iovec> parts) {
  msghdr msg{};
  msg.msg_name = thread.ns.addr.ai_addr;
  msg.msg_namelen = std::strchr(thread.ns.host, ':') != nullptr ? kIpv6AddrLen : kIpv4AddrLen;
  msg.msg_iov = const_cast<iovec*>(parts.data());
  msg.msg_iovlen = parts.size();
  return sendmsg(thread.ns.sock, &msg, 0);
}

} // namespace

void track_network_state(long sent, int err) {
  if (sent < 0) {
    if (!is_network_down(err) || net_error_notified.load() != 0) return;
    errno = err;
    LOG_UNIT(LOG_ERR, "sendto[%d:%m]", err);
    if (notify_evman(1) == 0) {
      LOG_UNIT(LOG_INFO, "notify network error to evman");
    } else {
      LOG_UNIT(LOG_INFO, "notify network error failed");
    }
  } else if (net_error_notified.load() == 1) {
    if (notify_evman(0) == 0) {
      LOG_UNIT(LOG_INFO, "notify network recover to evman");
    } else {
      LOG_UNIT(LOG_INFO, "notify network recover failed");
    }
  }
}

h264_fu_state& stream_h264_state() {
  thread_local h264_fu_state h264;
  return h264;
}

int send_rtp(rtp_thread* thread, const unsigned char* unit, int* offset, int* remaining) {
  // One stream thread per stream: its packet buffer and the H.264
  // fragmentation state belong to it.
  thread_local std::array<uint8_t, kPacketBufferSize> buffer;
  h264_fu_state& h264 = stream_h264_state();

  if (*remaining <= 0) return 0;
  const std::span<const uint8_t> rest(unit + *offset, static_cast<size_t>(*remaining));
  packet_plan plan;
  if (!plan_packet(*thread, rest, h264, buffer, plan)) {
    errno = EMSGSIZE;
    return -1;
  }
  // The payload goes straight from the unit to the socket: no copy.
  const std::array<iovec, 2> parts{{
      {buffer.data(), static_cast<size_t>(plan.head_len)},
      {const_cast<uint8_t*>(rest.data() + plan.skip), static_cast<size_t>(plan.payload_len)},
  }};

  ssize_t sent;
  if (thread->ns.protocol == kProtocolTcp) {
    sent = interleave_send(thread->ns.sock, parts, kInterleaveSendTimeoutMs);
    if (sent < 0) {
      if (errno != EBADF) LOG_UNIT(LOG_ERR, "safe_send error(%m)");
      return -1;
    }
    if (sent == 0) return 0;
  } else {
    sent = send_datagram(*thread, parts);
    const int err = errno;
    track_network_state(sent, err);
    if (sent < 0) {
      errno = err;
      return -1;
    }
  }

  // A failed send takes nothing off the unit, so a retry rebuilds the very
  // same packet (start code and NAL header included).
  const int used = plan.skip + plan.payload_len;
  *offset += used;
  *remaining -= used;
  return static_cast<int>(sent);
}
