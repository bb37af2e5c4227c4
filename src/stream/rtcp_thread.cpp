#include "stream/rtcp_thread.h"

#include <netinet/in.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "net/transport.h"
#include "stream/interleave.h"
#include "stream/rtcp_report.h"
#include "stream/rtp_thread.h"
#include "stream/stats.h"
#include "stream/stream_timing.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "rtcp";

namespace {

constexpr uint32_t kHighestRaisablePort = 65534;
constexpr int kSendBudget = 10;         // consecutive failed reports before the thread gives up
constexpr long kReportIntervalSeconds = 4; // a report goes out when more than this has passed
// Both transports look at the running flag ten times a second, so a stop is
// taken within a tenth of a second, not at the next whole-second pause.
constexpr timeval kReceivePoll{0, 100000};
constexpr timespec kTcpPause{0, 100000000};
constexpr int kReceiveBufferSize = 1500;

void* const kStartFailed = reinterpret_cast<void*>(static_cast<intptr_t>(-1));

// Builds the next report from the shared statistics and records its NTP time.
sender_report take_report() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  sender_report r;
  r.ntp = ntp_from_timeval(tv);
  pthread_mutex_lock(&rtcp_stats.mutex);
  r.version = rtcp_stats.version;
  r.padding = rtcp_stats.padding;
  r.count = rtcp_stats.count;
  r.packet_type = rtcp_stats.packet_type;
  r.ssrc = rtcp_stats.ssrc;
  r.rtp_timestamp = rtcp_stats.rtp_timestamp;
  r.packet_count = rtcp_stats.packet_count;
  r.octet_count = rtcp_stats.octet_count;
  rtcp_stats.ntp_seconds = r.ntp.seconds;
  rtcp_stats.ntp_fraction = r.ntp.fraction;
  pthread_mutex_unlock(&rtcp_stats.mutex);
  return r;
}

bool send_report(rtcp_thread& rtcp) {
  std::array<uint8_t, kInterleavedReportSize> bytes{};
  const sender_report report = take_report();
  if (rtcp.ns.protocol == kProtocolTcp) {
    const int len = write_sender_report(bytes, report, rtcp.interleaved & 0xFF);
    const iovec part{bytes.data(), static_cast<size_t>(len)};
    const ssize_t sent = interleave_send(rtcp.ns.sock, std::span(&part, 1), kInterleaveSendTimeoutMs);
    if (sent < 1) {
      // Nothing sent within the time is a time-out, whatever errno held before.
      if (sent == 0) errno = ETIMEDOUT;
      LOG_UNIT(LOG_INFO, "safe send error(%m)");
      return false;
    }
    return true;
  }
  const iovec part{bytes.data(), static_cast<size_t>(write_sender_report(bytes, report, -1))};
  return send_datagram(rtcp.ns, std::span(&part, 1)) >= 1;
}

void run_reports(rtcp_thread& rtcp) {
  const bool udp = rtcp.ns.protocol == kProtocolUdp;
  timespec last_sent = monotonic_now();
  int budget = kSendBudget;
  sockaddr_in6 source{};
  uint8_t incoming[kReceiveBufferSize];

  while (rtcp.running.load() == 1) {
    if (stream_active.load() != 1) break;
    const timespec now = monotonic_now();
    if (whole_seconds(last_sent, now) > kReportIntervalSeconds) {
      if (send_report(rtcp)) {
        last_sent = now;
        budget = kSendBudget;
      } else if (udp && is_network_down(errno)) {
        // Retried at once, a report would use up the whole budget within the
        // outage and take the receiver's keep-alives with the thread; the
        // stream waits for the network, so the report waits for the next turn.
        last_sent = now;
      } else {
        if (--budget == 0) break;
        continue; // try the report again at once
      }
    }
    if (udp) {
      // Whatever arrives on the RTCP port is the receiver's sign of life.
      if (safe_recvfrom(rtcp.ns.sock, incoming, sizeof incoming, 0, reinterpret_cast<sockaddr*>(&source),
                        rtcp.ns.addr.ai_addrlen, &kReceivePoll) >= 1) {
        refresh_keep_alive();
      }
    } else {
      nanosleep(&kTcpPause, nullptr);
    }
  }
}

} // namespace

int init_rtcp_thread(rtcp_thread* rtcp, rtp_thread* rtp) {
  if (rtp->ns.dstport > kHighestRaisablePort || rtp->ns.srcport > kHighestRaisablePort) return -1;

  // No worker thread exists yet: the statistics are filled without the lock.
  rtcp_stats.version = 2;
  rtcp_stats.padding = 0;
  rtcp_stats.count = 0;
  rtcp_stats.packet_type = kRtcpSenderReport;
  rtcp_stats.length = 0;
  rtcp_stats.ssrc = rtp->rtp_ssrc;
  rtcp_stats.ntp_seconds = 0;
  rtcp_stats.ntp_fraction = 0;
  rtcp_stats.rtp_timestamp = rtp->rtp_timestamp;
  rtcp_stats.packet_count = 0;
  rtcp_stats.octet_count = 0;
  stream_active.store(1);
  interleave_reset();

  rtcp->ns = rtp->ns;
  rtcp->ns.dstport += 1;
  rtcp->ns.srcport += 1;
  return 0;
}

void* rtcp_thread_exe(void* arg) {
  auto& rtcp = *static_cast<rtcp_thread*>(arg);
  sockaddr_storage dest{}; // lives as long as the thread's socket
  if (!open_destination(rtcp.ns, dest)) return kStartFailed;

  run_reports(rtcp);

  if (rtcp.ns.protocol == kProtocolTcp) {
    interleave_close(rtcp.ns.sock); // shared with the stream thread: closed once
  } else {
    cleanup_network(&rtcp.ns);
  }
  return nullptr;
}
