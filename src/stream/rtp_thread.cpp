#include "stream/rtp_thread.h"


#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>

#include "net/network.h"
#include "net/transport.h"
#include "stream/interleave.h"
#include "stream/nal_split.h"
#include "stream/send_rtp.h"
#include "stream/stats.h"
#include "stream/stream_timing.h"
#include "stream/udp_burst.h"
#include "support/log.h"

static constexpr char kLogUnit[] = "rtp";

namespace {

constexpr int kMaxFailures = 100; // consecutive failed reads or sends tolerated

// With rtp_tcp the RTCP thread shares the descriptor; it is closed once.
void release_socket(rtp_thread& t) {
  if (t.ns.protocol == kProtocolTcp) {
    interleave_close(t.ns.sock);
  } else {
    cleanup_network(&t.ns);
  }
}

void close_source(rtp_thread& t) {
  if (t.close_data_src(&t) < 0) LOG_UNIT(LOG_ERR, "close data_src error");
}

struct free_deleter {
  void operator()(unsigned char* p) const { std::free(p); }
};

// Counters of one stream run.
struct stream_run {
  uint32_t packets = 0; // since the start of the stream, never reset
  uint32_t octets = 0;  // whole packets as sent, headers included
  int failures = 0;     // consecutive failed reads or sends
  bool network_down = false;
};

// The cursor's next packet, or over UDP the next burst of its packets in
// one system call. As send_packet: > 0 sent (*packets of *octets bytes in
// all), 0 nothing sent, < 0 failed with errno.
int send_next(rtp_thread& t, udp_burst* burst, packet_cursor& cursor, int* packets, uint32_t* octets) {
  if (burst != nullptr && burst->enabled()) {
    const int sent = burst->send(t, cursor, octets);
    *packets = sent;
    if (sent != 0 || burst->enabled()) return sent;
    // sendmmsg failed: one packet per call from now on.
  }
  const int sent = send_packet(t, cursor);
  *packets = 1;
  *octets = static_cast<uint32_t>(sent);
  return sent;
}

// Sends one unit. False when the rest of the unit was given up because the
// network is down: retrying at once cannot help, and the next frame is what
// a receiver wants once the network is back.
bool send_unit(rtp_thread& t, udp_burst* burst, const nal_unit& unit, stream_run& run, bitrate_window& window) {
  const packet_layout layout = layout_of(t);
  packet_cursor cursor = unit_cursor(t, layout, {unit.data, static_cast<size_t>(unit.length)});
  while (!cursor.done() && t.running.load() == 1) {
    int packets = 0;
    uint32_t octets = 0;
    const int sent = send_next(t, burst, cursor, &packets, &octets);
    const int err = errno;
    if (sent > 0) {
      keep_position(t, cursor);
      run.packets += static_cast<uint32_t>(packets);
      run.octets += octets;
      window.add(octets);
      run.failures = 0;
      run.network_down = false;
      continue;
    }
    if (sent == 0) continue; // nothing left within the time-out: same packet again
    if (t.ns.protocol == kProtocolUdp && is_network_down(err)) {
      if (!run.network_down) LOG_UNIT(LOG_ERR, "failed to send_rtp");
      run.network_down = true;
      return false;
    }
    if (++run.failures > kMaxFailures || err == EBADF) {
      t.running.store(0);
      LOG_UNIT(LOG_ERR, "cannot send data");
    } else {
      LOG_UNIT(LOG_ERR, "failed to send_rtp");
    }
  }
  return true;
}

int cut_units(rtp_thread& t, unsigned char* buffer, int n, std::span<nal_unit, kMaxUnits> units) {
  if (!t.enable_sdplay) {
    units[0] = nal_unit{buffer, n, 0};
    return 1;
  }
  return split_nal_units(buffer, n, t.disable_h264user, units);
}

void run_stream(rtp_thread& t, unsigned char* buffer, bool unicast) {
  stream_run run;
  const timespec start = monotonic_now();
  bitrate_window window(start);
  keep_alive_watch watch(start);
  nal_unit units[kMaxUnits];
  std::optional<udp_burst> burst;
  if (t.ns.protocol == kProtocolUdp) burst.emplace(t.ns.sock);

  while (t.running.load() == 1) {
    const int n = t.get_data(&t, buffer, t.data_size);
    if (n == kGetDataEnded) {
      LOG_UNIT(LOG_INFO, "data_src closed");
      t.running.store(0);
      break;
    }
    // A result beyond the buffer breaks the source's contract: nothing of it
    // is sent, it counts as a failed read.
    if (n < 0 || n > t.data_size) {
      ++run.failures;
      LOG_UNIT(LOG_INFO, "failed to get_data");
      if (run.failures > kMaxFailures) {
        t.running.store(0);
        LOG_UNIT(LOG_ERR, "cannot get_data");
        break;
      }
      continue;
    }
    run.failures = 0;

    const int count = cut_units(t, buffer, n, units);
    for (int i = 0; i < count && t.running.load() == 1; ++i) {
      if (!send_unit(t, burst ? &*burst : nullptr, units[i], run, window)) break;
    }

    update_stats(t.rtp_timestamp, run.packets, run.octets, t.running.load());

    const timespec now = monotonic_now();
    if (t.payload != kPayloadMetadata) {
      if (const auto kbps = window.close_if_due(now)) {
        t.bitrate = *kbps;
        if (t.update_session != nullptr) t.update_session(&t);
      }
    }
    if (unicast && t.timeout != 0) {
      if (keep_alive.exchange(0) == 1) watch.refresh(monotonic_now());
      if (const auto elapsed = watch.expired(now, t.timeout)) {
        LOG_UNIT(LOG_INFO, "keep alive timeout [%ld > %d] ", *elapsed, t.timeout);
        t.running.store(0);
        break;
      }
    }
  }
  update_stats(t.rtp_timestamp, run.packets, run.octets, 0);
}

void stream_body(rtp_thread& t) {
  sockaddr_storage dest{}; // lives as long as the thread's socket
  if (!open_destination(t.ns, dest)) {
    LOG_UNIT(LOG_ERR, "init_rtp_sock error");
    return;
  }

  const bool unicast = !is_multicast_host(t.ns.host);

  if (t.open_data_src(&t) < 0) {
    LOG_UNIT(LOG_ERR, "open data_src error");
    release_socket(t);
    return;
  }
  // calloc: the kernel's fresh pages are zero already, so the buffer costs
  // no page until a frame is written into it (a frame store's largest frame
  // is often far above its usual one).
  std::unique_ptr<unsigned char, free_deleter> buffer;
  if (t.data_size > 0) buffer.reset(static_cast<unsigned char*>(std::calloc(static_cast<size_t>(t.data_size), 1)));
  if (!buffer) {
    LOG_UNIT(LOG_ERR, "malloc error(data_buff)");
    release_socket(t);
    close_source(t);
    return;
  }

  run_stream(t, buffer.get(), unicast);

  buffer.reset();
  release_socket(t);
  close_source(t);
}

} // namespace

int init_rtp_thread(rtp_thread* thread) {
  AVTD_ASSERT(thread != nullptr, "thread != ((void *)0)");
  AVTD_ASSERT(thread->init_rtp_header != nullptr, "thread->init_rtp_header != ((void *)0)");
  interleave_reset();
  return thread->init_rtp_header(thread) < 0 ? -1 : 0;
}

void* rtp_thread_exe(void* arg) {
  auto* thread = static_cast<rtp_thread*>(arg);
  AVTD_ASSERT(thread->open_data_src != nullptr, "thread->open_data_src != ((void *)0)");
  AVTD_ASSERT(thread->close_data_src != nullptr, "thread->close_data_src != ((void *)0)");
  AVTD_ASSERT(thread->get_data != nullptr, "thread->get_data != ((void *)0)");
  stream_body(*thread);
  thread->running.store(0);
  return nullptr;
}
