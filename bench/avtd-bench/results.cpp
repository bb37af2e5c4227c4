#include "context.h"

#include <cstdio>

namespace bench {

void results::add(const std::string& row, const std::string& metric, int run, double value) {
  std::vector<double>& v = table_[row + "|" + metric];
  if (static_cast<int>(v.size()) <= run) v.resize(static_cast<size_t>(run) + 1, kNaN);
  v[static_cast<size_t>(run)] = value;
  if (run + 1 > runs_) runs_ = run + 1;
}

std::vector<double> results::values(const std::string& row, const std::string& metric) const {
  const auto it = table_.find(row + "|" + metric);
  std::vector<double> v = it == table_.end() ? std::vector<double>{} : it->second;
  v.resize(static_cast<size_t>(runs_), kNaN);
  return v;
}

void results::write_tsv(const std::string& path) const {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return;
  std::fprintf(f, "row|metric");
  for (int r = 0; r < runs_; ++r) std::fprintf(f, "\trun%d", r + 1);
  std::fprintf(f, "\n");
  for (const auto& [key, v] : table_) {
    std::fprintf(f, "%s", key.c_str());
    for (int r = 0; r < runs_; ++r) {
      const double x = r < static_cast<int>(v.size()) ? v[static_cast<size_t>(r)] : kNaN;
      std::fprintf(f, "\t%.6g", x);
    }
    std::fprintf(f, "\n");
  }
  std::fclose(f);
}

void record(results& r, const std::string& row, int run, const figures& f) {
  const std::pair<const char*, double> all[] = {
      {"us_per_packet", f.us_per_packet},
      {"thread_us_per_packet", f.thread_us_per_packet},
      {"cpu_s_per_gb", f.cpu_s_per_gb},
      {"packets_per_s", f.packets_per_s},
      {"peak_resident_mib", f.peak_resident_mib},
      {"own_mib", f.own_mib},
      {"startup_cpu_ms", f.startup_cpu_ms},
      {"startup_wall_ms", f.startup_wall_ms},
      {"stop_wall_ms", f.stop_wall_ms},
      {"core_percent", f.core_percent},
      {"latency_p50_us", f.latency_p50_us},
      {"latency_p99_us", f.latency_p99_us},
      {"latency_max_us", f.latency_max_us},
      {"latency_other_p50_us", f.latency_other_p50_us},
      {"latency_other_p99_us", f.latency_other_p99_us},
      {"latency_key_p50_us", f.latency_key_p50_us},
      {"latency_key_p99_us", f.latency_key_p99_us},
      {"packets_per_call", f.packets_per_call},
      {"packets", f.packets},
      {"dropped", f.dropped},
  };
  for (const auto& [metric, value] : all) {
    if (!std::isnan(value)) r.add(row, metric, run, value);
  }
}

} // namespace bench
