#include "measure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "process_run.h"
#include "toolkit/process.h"

namespace bench {

sample watcher::take() const {
  sample s;
  s.t_ns = monotonic_ns();
  s.sent = ctx_.out.read();
  s.received = sink_.packets() + sink_.dropped();
  s.bytes = sink_.bytes();
  s.cpu_ns = process_cpu_ns(pid_);
  if (tid_ > 0) s.thread_ns = thread_cpu_ns(pid_, tid_);
  return s;
}

void watcher::note_memory() {
  hwm_kib_ = std::max(hwm_kib_, peak_resident_kib(pid_));
  own_kib_ = std::max(own_kib_, own_memory_kib(pid_));
}

udp_sink::first_packet_hook first_packet_probe::hook() {
  return [this](int64_t rx) {
    pid_t pid = pid_.load(std::memory_order_acquire);
    if (pid <= 0 && !pid_file_.empty()) {
      if (const auto p = toolkit::read_pid_file(pid_file_, std::chrono::milliseconds(0))) pid = *p;
    }
    if (pid > 0) cpu_ns_.store(process_cpu_ns(pid), std::memory_order_release);
    rx_ns_.store(rx, std::memory_order_release);
  };
}

void fill_window(figures& f, const sample& from, const sample& to, bool by_sent, double bytes_per_packet) {
  const double packets = by_sent ? static_cast<double>(to.sent - from.sent)
                                 : static_cast<double>(to.received - from.received);
  if (packets <= 0 || from.cpu_ns < 0 || to.cpu_ns < 0) return;
  const double cpu_s = static_cast<double>(to.cpu_ns - from.cpu_ns) / 1e9;
  f.packets = packets;
  f.us_per_packet = cpu_s * 1e6 / packets;
  if (from.thread_ns >= 0 && to.thread_ns >= 0)
    f.thread_us_per_packet = static_cast<double>(to.thread_ns - from.thread_ns) / 1e3 / packets;
  if (bytes_per_packet > 0) f.cpu_s_per_gb = cpu_s / (packets * bytes_per_packet / 1e9);
  const double seconds = static_cast<double>(to.t_ns - from.t_ns) / 1e9;
  if (seconds > 0) {
    f.packets_per_s = packets / seconds;
    f.core_percent = 100.0 * cpu_s / seconds;
  }
}

double percentile(std::vector<double>& values, double p) {
  if (values.empty()) return kNaN;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

latency_figures publication_latency(const clip& c, const std::vector<publication_record>& published,
                                    const std::vector<marker_record>& markers, std::vector<unit_latency>* each) {
  // The payload of a marker packet ends with its unit's last bytes; an
  // STAP-A or FU-A packet has at least 15 bytes in front of them.
  constexpr size_t kHeadAtLeast = 15;
  // Units repeat (parameter sets): a match is looked for only a few blocks
  // ahead, and never before publish was called. The time counts from that
  // call: its return is no sure mark, as the woken reader may run on the
  // publisher's CPU before the publisher does again. So it includes the
  // store's own copy of the block into its ring.
  constexpr size_t kLookAhead = 16;
  latency_figures out;
  std::vector<double> us, key, other;
  size_t next = 0;
  for (const marker_record& m : markers) {
    if (m.length <= kHeadAtLeast || published.empty() || m.rx_ns < published.front().called_ns) continue;
    const size_t n = std::min<size_t>(kTailBytes, m.length - kHeadAtLeast);
    for (size_t k = next; k < published.size() && k < next + kLookAhead; ++k) {
      const clip_block& b = c.blocks[published[k].block];
      if (m.rx_ns >= published[k].called_ns && std::memcmp(b.tail + kTailBytes - n, m.tail + kTailBytes - n, n) == 0) {
        const double latency = static_cast<double>(m.rx_ns - published[k].called_ns) / 1e3;
        us.push_back(latency);
        if (each != nullptr) each->push_back({published[k].block, latency});
        (b.nal_type == kNalIdr ? key : other).push_back(latency);
        next = k + 1;
        break;
      }
    }
  }
  out.matched = us.size();
  auto fill = [](percentiles& p, std::vector<double>& v) {
    p.count = v.size();
    p.p50_us = percentile(v, 50);
    p.p99_us = percentile(v, 99);
    p.max_us = v.empty() ? kNaN : v.back();
  };
  fill(out.all, us);
  fill(out.key, key);
  fill(out.other, other);
  return out;
}

} // namespace bench
