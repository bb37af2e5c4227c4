// What every scenario of the benchmark shares: where the programs are, the
// clips, the receiving host, and the table the figures go into.
#pragma once

#include <sys/types.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "clip.h"
#include "procstat.h"

namespace bench {

inline constexpr char kPeerAddress[] = "198.51.100.2";
inline constexpr int kRtpPort = 5000;
inline constexpr int kSessionId = 1;
inline constexpr double kNaN = NAN;

struct context {
  std::string bin;  // the daemon and the tools
  std::string work; // logs and scratch files
  std::string netns;
  clip paced;       // ~20 Mbit/s, its length is the paced run
  clip unpaced;     // the same clip several times over
  clip streams;     // ~8 Mbit/s, for the concurrent streams
  std::string unpaced_sizes;
  std::string paced_sizes;
  bool have_gst = false;
  bool have_ffmpeg = false;
  int run = 0;      // repetition under way (0-based)
  std::string perf_record; // where `perf record` of the stream thread's measured pass goes (empty: none)
  udp_out_counter out;

  std::string log(const std::string& name) const { return work + "/" + name + ".log"; }
};

// Figures of every run: key "row|metric", one value per repetition (NaN when
// the run failed).
class results {
 public:
  void add(const std::string& row, const std::string& metric, int run, double value);
  // Values of all repetitions (NaN where missing).
  std::vector<double> values(const std::string& row, const std::string& metric) const;
  int runs() const { return runs_; }
  void write_tsv(const std::string& path) const;

 private:
  std::map<std::string, std::vector<double>> table_;
  int runs_ = 0;
};

// Figures of one run of one sender, NaN where not measured.
struct figures {
  double us_per_packet = kNaN;        // whole process
  double thread_us_per_packet = kNaN; // the daemon's stream thread
  double cpu_s_per_gb = kNaN;
  double packets_per_s = kNaN;
  double peak_resident_mib = kNaN; // VmHWM
  double own_mib = kNaN;
  double startup_cpu_ms = kNaN;
  double startup_wall_ms = kNaN;
  double core_percent = kNaN; // paced: whole process, share of one core
  double latency_p50_us = kNaN;
  double latency_p99_us = kNaN;
  double latency_max_us = kNaN;
  double packets = kNaN;
  double dropped = kNaN;
};

void record(results& r, const std::string& row, int run, const figures& f);

} // namespace bench
