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
inline constexpr char kPeerAddress6[] = "2001:db8::2";
inline constexpr int kRtpPort = 5000;
inline constexpr int kSessionId = 1;
inline constexpr double kNaN = NAN;

struct context {
  std::string bin;  // the daemon and the tools
  std::string fault_library; // LD_PRELOAD: older or stricter kernels (preload_kernel_faults.c)
  std::string work; // logs and scratch files
  std::string netns;
  // The NIC model and address family under measurement: the receiving
  // host's address, and the suffix of every row and log name ("" for the
  // device's case: no segmentation offload, IPv4).
  std::string peer = kPeerAddress;
  std::string variant;
  std::string unpaced_sizes6; // the same clip's datagram sizes over IPv6
  clip paced;       // ~20 Mbit/s, its length is the paced run
  clip unpaced;     // the same clip several times over
  clip streams;     // ~8 Mbit/s, for the concurrent streams
  std::string unpaced_sizes;
  std::string paced_sizes;
  bool have_gst = false;
  bool have_ffmpeg = false;
  int run = 0;      // repetition under way (0-based)
  std::string perf_record; // where `perf record` of the stream thread's measured pass goes (empty: none)
  std::string latency_log; // every unit's latency of the paced runs is appended here (empty: none)
  udp_out_counter out;

  std::string log(const std::string& name) const { return work + "/" + name + variant + ".log"; }
  bool ipv6() const { return peer.find(':') != std::string::npos; }
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
  double stop_wall_ms = kNaN; // SIGTERM to the end of a running stream
  double core_percent = kNaN; // paced: whole process, share of one core
  double latency_p50_us = kNaN; // every unit
  double latency_p99_us = kNaN;
  double latency_max_us = kNaN;
  double latency_other_p50_us = kNaN; // all but key-frame slices
  double latency_other_p99_us = kNaN;
  double latency_key_p50_us = kNaN;   // key-frame slices
  double latency_key_p99_us = kNaN;
  double packets_per_call = kNaN;     // datagrams per UDP send system call
  double packets = kNaN;
  double dropped = kNaN;
};

void record(results& r, const std::string& row, int run, const figures& f);

// The table's rows, also the names of the senders' logs.
inline constexpr char kRowFloor[] = "floor";
inline constexpr char kRowDaemon[] = "avtd";
inline constexpr char kRowDaemonNoOffload[] = "avtd-no-gso"; // UDP_SEGMENT missing: sendmmsg
inline constexpr char kRowDaemonSingle[] = "avtd-single";     // sendmmsg missing too
inline constexpr char kRowFloorMmsg[] = "floor-sendmmsg";
inline constexpr char kRowFloorGso[] = "floor-gso";
inline constexpr char kVariantOffload[] = "+offload";
inline constexpr char kVariantIpv6[] = "+ipv6";
inline constexpr char kRowEcho[] = "store-echo";
inline constexpr char kRowTrue[] = "ref-true";
inline constexpr char kRowDaemonHelp[] = "ref-avtd-help";

} // namespace bench
