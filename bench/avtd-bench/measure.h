// Sampling a sender while it runs: its CPU time (and one thread's), the
// datagrams the namespace sent and the receiving host counted, and its
// memory at its peak.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "context.h"
#include "sink.h"
#include "store_feed.h"

namespace bench {

struct sample {
  int64_t t_ns = 0;     // monotonic
  int64_t cpu_ns = -1;  // process; -1 once it is gone
  int64_t thread_ns = -1;
  uint64_t sent = 0;     // UDP datagrams sent in this namespace
  uint64_t received = 0; // at the receiving host, dropped ones included
  uint64_t bytes = 0;    // received
};

class watcher {
 public:
  watcher(const context& ctx, const udp_sink& sink, pid_t pid, pid_t tid = 0)
      : ctx_(ctx), sink_(sink), pid_(pid), tid_(tid) {}
  sample take() const;
  // Reads VmHWM and the own memory, keeping the largest values seen.
  void note_memory();
  double peak_resident_mib() const { return hwm_kib_ < 0 ? kNaN : static_cast<double>(hwm_kib_) / 1024.0; }
  double own_mib() const { return own_kib_ < 0 ? kNaN : static_cast<double>(own_kib_) / 1024.0; }

 private:
  const context& ctx_;
  const udp_sink& sink_;
  pid_t pid_;
  pid_t tid_;
  int64_t hwm_kib_ = -1;
  int64_t own_kib_ = -1;
};

// The sender's CPU time when its first datagram reached the receiving host.
// The hook runs in the sink's thread; the pid is either set directly or read
// from the daemon's pid file (written before its threads start).
class first_packet_probe {
 public:
  explicit first_packet_probe(std::string pid_file = {}) : pid_file_(std::move(pid_file)) {}
  void set_pid(pid_t pid) { pid_.store(pid, std::memory_order_release); }
  udp_sink::first_packet_hook hook();
  int64_t cpu_ns() const { return cpu_ns_.load(std::memory_order_acquire); }
  int64_t rx_ns() const { return rx_ns_.load(std::memory_order_acquire); }

 private:
  std::string pid_file_;
  std::atomic<pid_t> pid_{0};
  std::atomic<int64_t> cpu_ns_{-1};
  std::atomic<int64_t> rx_ns_{0};
};

// Figures of a window between two samples: CPU per datagram over the
// datagrams counted by `by_sent` (the namespace's counter) or by what the
// receiving host got.
void fill_window(figures& f, const sample& from, const sample& to, bool by_sent, double bytes_per_packet);

// The nearest-rank percentile of unsorted values (sorted in place); NaN when empty.
double percentile(std::vector<double>& values, double p);

// Percentiles of the time from each block's publication to its last datagram
// at the receiving host, in microseconds: markers are matched to the
// publication log by the last bytes of their unit, in order. Key-frame
// slices (IDR) are the largest units by far; they are also given apart.
struct percentiles {
  double p50_us = kNaN;
  double p99_us = kNaN;
  double max_us = kNaN;
  size_t count = 0;
};
struct latency_figures {
  percentiles all, key, other;
  size_t matched = 0;
};
inline constexpr uint8_t kNalIdr = 5;
struct unit_latency {
  uint32_t block;
  double us;
};
latency_figures publication_latency(const clip& c, const std::vector<publication_record>& published,
                                    const std::vector<marker_record>& markers,
                                    std::vector<unit_latency>* each = nullptr);

} // namespace bench
