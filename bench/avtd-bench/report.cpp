#include "report.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "measure.h"

namespace bench {

namespace {

struct spread {
  double median = kNaN;
  double min = kNaN;
  double max = kNaN;
  int count = 0;
};

spread spread_of(std::vector<double> v) {
  v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
  spread s;
  s.count = static_cast<int>(v.size());
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  s.median = n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  s.min = v.front();
  s.max = v.back();
  return s;
}

// Per-repetition quotient of two series.
std::vector<double> ratio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> q(a.size(), kNaN);
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (!std::isnan(a[i]) && !std::isnan(b[i]) && b[i] != 0) q[i] = a[i] / b[i];
  }
  return q;
}

std::string number(double x, int decimals) {
  if (std::isnan(x)) return "–";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
  return buf;
}

// "median (min–max)", or the one value of a single repetition.
std::string cell(const spread& s, int decimals) {
  if (s.count == 0) return "–";
  if (s.count == 1) return number(s.median, decimals);
  return number(s.median, decimals) + " (" + number(s.min, decimals) + "–" + number(s.max, decimals) + ")";
}

std::string cell(const std::vector<double>& v, int decimals) { return cell(spread_of(v), decimals); }

struct row_name {
  const char* key;
  const char* title;
  const char* floor; // the row its ratio refers to
};

constexpr row_name kUnpacedRows[] = {
    {kRowFloor, "floor: `sendto` loop", kRowFloor},
    {kRowDaemon, "avtd", kRowFloor},
    {"gstreamer", "GStreamer", kRowFloor},
    {"ffmpeg", "FFmpeg", kRowFloor},
    {"floor-sendmmsg", "floor: `sendmmsg` per unit", kRowFloor},
    {"floor-gso", "floor: UDP GSO per unit", kRowFloor},
    {kRowDaemonNoOffload, "avtd on a kernel without UDP GSO (`sendmmsg`)", kRowFloor},
    {kRowDaemonSingle, "avtd on a kernel without UDP GSO and `sendmmsg` (one send per packet)", kRowFloor},
};

// Every send path beside the floor of its own kind.
struct path_row {
  const char* key;
  const char* title;
  const char* floor;
};
constexpr path_row kPathRows[] = {
    {kRowFloor, "floor: `sendto` per datagram", kRowFloor},
    {kRowFloorMmsg, "floor: `sendmmsg` per unit", kRowFloorMmsg},
    {kRowFloorGso, "floor: UDP GSO per unit", kRowFloorGso},
    {kRowDaemon, "avtd, bursts with UDP GSO", kRowFloorGso},
    {kRowDaemonNoOffload, "avtd, `sendmmsg` (no UDP_SEGMENT)", kRowFloorMmsg},
    {kRowDaemonSingle, "avtd, one send per packet (no UDP_SEGMENT, no `sendmmsg`)", kRowFloor},
    {"gstreamer", "GStreamer", kRowFloor},
    {"ffmpeg", "FFmpeg", kRowFloor},
};

struct variant_name {
  std::string suffix;
  const char* nic;
  const char* family;
};
const variant_name kVariants[] = {
    {"", "no offload", "IPv4"},
    {kVariantIpv6, "no offload", "IPv6"},
    {kVariantOffload, "offload", "IPv4"},
    {std::string(kVariantOffload) + kVariantIpv6, "offload", "IPv6"},
};

bool is_daemon(const std::string& key) {
  return key == kRowDaemon || key == kRowDaemonNoOffload || key == kRowDaemonSingle;
}

// The daemon's figure is its stream thread's, the others' the whole process.
std::vector<double> cpu_of(const results& r, const std::string& key, const std::string& base) {
  return r.values(key, is_daemon(base) ? "thread_us_per_packet" : "us_per_packet");
}

void paths_table(std::FILE* out, const results& r) {
  std::fprintf(out, "\n### Every send path, unpaced, per NIC model and family (the daemon: its stream thread)\n\n");
  std::fprintf(out, "| NIC | family | sender | CPU µs/packet | × `sendto` floor | × floor of its kind | "
                    "packets/s | × GSO floor packets/s | datagrams per segmented send |\n|---|---|---|---|---|---|---|---|---|\n");
  for (const variant_name& v : kVariants) {
    const std::vector<double> sendto_floor = r.values(kRowFloor + v.suffix, "us_per_packet");
    const std::vector<double> gso_rate = r.values(kRowFloorGso + v.suffix, "packets_per_s");
    for (const path_row& row : kPathRows) {
      const std::string key = row.key + v.suffix;
      const std::vector<double> us = cpu_of(r, key, row.key);
      if (spread_of(us).count == 0) continue;
      const std::vector<double> rate = r.values(key, "packets_per_s");
      std::fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", v.nic, v.family, row.title,
                   cell(us, 2).c_str(), cell(ratio(us, sendto_floor), 3).c_str(),
                   cell(ratio(us, r.values(row.floor + v.suffix, "us_per_packet")), 3).c_str(), cell(rate, 0).c_str(),
                   cell(ratio(rate, gso_rate), 2).c_str(),
                   row.key == std::string(kRowDaemon) ? cell(r.values(key, "packets_per_call"), 1).c_str() : "");
    }
  }
  std::fprintf(out, "\n### IPv6 against IPv4: CPU per packet, ratio within each repetition\n\n");
  std::fprintf(out, "| NIC | sender | IPv6 ÷ IPv4 | the same of its × floor of its kind |\n|---|---|---|---|\n");
  for (const auto& [suffix, nic] : {std::pair<std::string, const char*>{"", "no offload"}, {kVariantOffload, "offload"}}) {
    for (const path_row& row : kPathRows) {
      const std::string v4 = row.key + suffix, v6 = v4 + kVariantIpv6;
      const std::string floor4 = row.floor + suffix, floor6 = floor4 + kVariantIpv6;
      const std::vector<double> q = ratio(cpu_of(r, v6, row.key), cpu_of(r, v4, row.key));
      const std::vector<double> own = ratio(ratio(cpu_of(r, v6, row.key), r.values(floor6, "us_per_packet")),
                                            ratio(cpu_of(r, v4, row.key), r.values(floor4, "us_per_packet")));
      if (spread_of(q).count > 0)
        std::fprintf(out, "| %s | %s | %s | %s |\n", nic, row.title, cell(q, 3).c_str(), cell(own, 3).c_str());
    }
  }
}

void unpaced_table(std::FILE* out, const context& ctx, const results& r) {
  std::fprintf(out, "\n### Unpaced, eth0 without segmentation offload, IPv4: %zu datagrams (%.1f MB) as fast as each "
                    "sender goes (the daemon drains a store filled while it was stopped)\n\n", ctx.unpaced.packets.size(),
               static_cast<double>(ctx.unpaced.packet_bytes) / 1e6);
  std::fprintf(out, "| sender | CPU µs/packet | × floor | CPU s/GB | packets/s | packets per call | VmHWM MiB | own MiB | "
                    "start-up CPU ms | start-up wall ms |\n");
  std::fprintf(out, "|---|---|---|---|---|---|---|---|---|---|\n");
  for (const row_name& row : kUnpacedRows) {
    const std::vector<double> us = r.values(row.key, "us_per_packet");
    if (spread_of(us).count == 0) continue;
    const std::vector<double> floor = r.values(row.floor, "us_per_packet");
    const bool daemon = is_daemon(row.key);
    const std::string name = std::string(row.title) + (daemon ? ", whole process" : "");
    std::fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", name.c_str(), cell(us, 2).c_str(),
                 cell(ratio(us, floor), 3).c_str(), cell(r.values(row.key, "cpu_s_per_gb"), 2).c_str(),
                 cell(r.values(row.key, "packets_per_s"), 0).c_str(),
                 row.key == std::string(kRowDaemon) ? cell(r.values(row.key, "packets_per_call"), 1).c_str() : "",
                 cell(r.values(row.key, "peak_resident_mib"), 2).c_str(), cell(r.values(row.key, "own_mib"), 2).c_str(),
                 cell(r.values(row.key, "startup_cpu_ms"), 2).c_str(),
                 cell(r.values(row.key, "startup_wall_ms"), 2).c_str());
    if (daemon) {
      const std::vector<double> thread = r.values(row.key, "thread_us_per_packet");
      std::fprintf(out, "| %s, stream thread | %s | %s | | | | | | | |\n", row.title, cell(thread, 2).c_str(),
                   cell(ratio(thread, floor), 3).c_str());
    }
  }
  const spread true_ms = spread_of(r.values(kRowTrue, "startup_cpu_ms"));
  const spread help_ms = spread_of(r.values(kRowDaemonHelp, "startup_cpu_ms"));
  if (true_ms.count > 0 || help_ms.count > 0)
    std::fprintf(out, "\nStarting a process on this machine, CPU from start to exit in the same runs: `true` %s ms, "
                      "`avtd --help` %s ms.\n", cell(true_ms, 2).c_str(), cell(help_ms, 2).c_str());
  const spread dropped = spread_of(r.values(kRowDaemon, "dropped"));
  if (dropped.count > 0 && dropped.max > 0)
    std::fprintf(out, "\nThe receiving host dropped up to %.0f datagrams of a daemon run.\n", dropped.max);
}

void paced_table(std::FILE* out, const results& r, const report_setup& setup) {
  const std::vector<double> floor = r.values(kRowFloor, "core_percent");
  std::fprintf(out, "\n### Paced: the clip at 30 frames/s for %d s, whole process\n\n", setup.paced_seconds);
  std::fprintf(out, "| sender | %% of one core | × paced floor |\n|---|---|---|\n");
  for (const char* key : {kRowFloor, kRowDaemon, "gstreamer", "ffmpeg", kRowEcho}) {
    const std::vector<double> share = r.values(key, "core_percent");
    if (spread_of(share).count == 0) continue;
    std::string title = key == std::string(kRowEcho) ? "store_echo: a reader that answers each block with one datagram" : key;
    for (const row_name& row : kUnpacedRows)
      if (row.key == std::string(key)) title = row.title;
    std::fprintf(out, "| %s | %s | %s |\n", title.c_str(), cell(share, 2).c_str(), cell(ratio(share, floor), 2).c_str());
  }
  std::fprintf(out, "\nPublication of a unit in the store (the call of `publish`, which copies it into the store) to "
                    "its last packet at the receiving host, µs:\n\n");
  std::fprintf(out, "| reader | all units p50 | p99 | max | key-frame slices p50 | p99 | other units p50 | p99 |\n");
  std::fprintf(out, "|---|---|---|---|---|---|---|---|\n");
  for (const auto& [key, title] : {std::pair{kRowDaemon, "avtd"}, {kRowEcho, "store_echo (wake, copy, one datagram)"}}) {
    if (spread_of(r.values(key, "latency_p50_us")).count == 0) continue;
    std::fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s |\n", title, cell(r.values(key, "latency_p50_us"), 0).c_str(),
                 cell(r.values(key, "latency_p99_us"), 0).c_str(), cell(r.values(key, "latency_max_us"), 0).c_str(),
                 cell(r.values(key, "latency_key_p50_us"), 0).c_str(), cell(r.values(key, "latency_key_p99_us"), 0).c_str(),
                 cell(r.values(key, "latency_other_p50_us"), 0).c_str(),
                 cell(r.values(key, "latency_other_p99_us"), 0).c_str());
  }
}

void streams_table(std::FILE* out, const results& r, const report_setup& setup) {
  if (setup.stream_counts.empty()) return;
  std::fprintf(out, "\n### Concurrent avtd streams of one ~8 Mbit/s channel, %d s\n\n", setup.streams_seconds);
  std::fprintf(out, "| streams | total %% of one core | per stream |\n|---|---|---|\n");
  for (const int n : setup.stream_counts) {
    const std::vector<double> total = r.values("streams-" + std::to_string(n), "core_percent");
    std::vector<double> each = total;
    for (double& x : each) x /= n;
    std::fprintf(out, "| %d | %s | %s |\n", n, cell(total, 1).c_str(), cell(each, 2).c_str());
  }
}

void targets_table(std::FILE* out, const results& r, const report_setup& setup) {
  std::fprintf(out, "\n### Targets (medians; ratios within each repetition; no-offload NIC and IPv4 unless said)\n\n"
                    "| target | measured | |\n|---|---|---|\n");
  auto line = [&](const std::string& what, const spread& s, int decimals, double limit, bool below) {
    const bool met = s.count > 0 && (below ? s.median < limit : s.median <= limit);
    std::fprintf(out, "| %s | %s | %s |\n", what.c_str(), cell(s, decimals).c_str(),
                 s.count == 0 ? "not measured" : met ? "met" : "missed");
  };
  const auto thread_vs = [&](const std::string& row, const std::string& floor) {
    return spread_of(ratio(r.values(row, "thread_us_per_packet"), r.values(floor, "us_per_packet")));
  };
  line("bursts: stream-thread CPU per packet ≤ 1.3 × UDP GSO floor", thread_vs(kRowDaemon, kRowFloorGso), 3, 1.3, false);
  line("bursts: the same ≤ 0.5 × `sendto` floor", thread_vs(kRowDaemon, kRowFloor), 3, 0.5, false);
  line("`sendmmsg` path ≤ 1.2 × `sendmmsg` floor", thread_vs(kRowDaemonNoOffload, kRowFloorMmsg), 3, 1.2, false);
  line("one send per packet ≤ 1.10 × `sendto` floor", thread_vs(kRowDaemonSingle, kRowFloor), 3, 1.10, false);
  for (const char* row : {kRowDaemon, kRowDaemonNoOffload, kRowDaemonSingle}) {
    const std::string v6 = std::string(row) + kVariantIpv6;
    const spread q = spread_of(ratio(r.values(v6, "thread_us_per_packet"), r.values(row, "thread_us_per_packet")));
    line(std::string("IPv6 ÷ IPv4 ≤ 1.10, ") + row, q, 3, 1.10, false);
  }
  {
    const spread q = spread_of(ratio(r.values(kRowDaemon, "packets_per_s"), r.values(kRowFloorGso, "packets_per_s")));
    std::fprintf(out, "| bursts: packets/s ≥ 0.8 × UDP GSO floor's | %s | %s |\n", cell(q, 2).c_str(),
                 q.count == 0 ? "not measured" : q.median >= 0.8 ? "met" : "missed");
  }
  const std::string off = kVariantOffload;
  line("offload NIC: bursts ≤ 0.25 × `sendto` floor", thread_vs(kRowDaemon + off, kRowFloor + off), 3, 0.25, false);
  line("paced whole-process CPU ≤ 0.6 × paced floor",
       spread_of(ratio(r.values("avtd", "core_percent"), r.values("floor", "core_percent"))), 2, 0.6, false);
  line("own memory ≤ frame buffer " + number(setup.frame_buffer_mib, 2) + " MiB + 1.5 MiB (MiB)",
       spread_of(r.values("avtd", "own_mib")), 2, setup.frame_buffer_mib + 1.5, false);
  line("start-up CPU to the first packet < 5 ms", spread_of(r.values("avtd", "startup_cpu_ms")), 2, 5, true);
  line("publication to last packet p99 < 200 µs", spread_of(r.values(kRowDaemon, "latency_p99_us")), 0, 200, true);
  line("the same for units other than key-frame slices", spread_of(r.values(kRowDaemon, "latency_other_p99_us")), 0,
       200, true);
}

} // namespace

void print_report(std::FILE* out, const context& ctx, const results& r, const report_setup& setup) {
  std::fprintf(out, "\n## avtd beside the usual senders: %d repetition%s, median (min–max)\n", r.runs(),
               r.runs() == 1 ? "" : "s");
  std::fprintf(out, "\nOn this machine a system call that does nothing costs %.2f µs of CPU and a page fault on fresh "
                    "memory %.1f µs.\n", setup.machine.syscall_us, setup.machine.page_fault_us);
  unpaced_table(out, ctx, r);
  paths_table(out, r);
  paced_table(out, r, setup);
  streams_table(out, r, setup);
  targets_table(out, r, setup);
  std::fflush(out);
}

} // namespace bench
