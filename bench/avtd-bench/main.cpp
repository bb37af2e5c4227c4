// avtd-bench: the daemon side by side with the floor (bare system calls) and
// the usual senders, on one clip, on this machine. Runs inside the sandbox
// (scripts/bench.sh enters it): senders here, the receiving host in
// $AVTD_PEER_NETNS. Prints a Markdown table of medians over the repetitions.
//
//   avtd-bench --bin DIR --clip FILE --long-clip FILE --streams-clip FILE
//              [--runs N] [--work DIR] [--tsv FILE] [--streams N,M]
//              [--streams-seconds S] [--skip WHAT,...] [--nics M,...]
//              [--families F,...]
//     --clip FILE          ~20 Mbit/s H.264 clip: the paced runs send it once
//     --long-clip FILE     the same several times over: the unpaced runs
//     --streams-clip FILE  ~8 Mbit/s clip for the concurrent streams
//     --runs N             repetitions (default 5)
//     --work DIR           logs of the senders (default /tmp/avtd-bench)
//     --tsv FILE           every figure of every repetition
//     --streams N,M        concurrent stream counts (default 16,32; 0 for none)
//     --skip WHAT,...      leave out: unpaced, paced, streams, gstreamer,
//                          ffmpeg, experiment (sendmmsg and GSO floors),
//                          fallback (the daemon's sendmmsg and one send per
//                          packet paths, as on kernels without UDP_SEGMENT
//                          or without sendmmsg)
//     --nics M,...         eth0 models for the unpaced runs: no-offload (the
//                          device's NIC, no UDP segmentation offload) and
//                          offload (default both; each repetition measures
//                          each model in turn, switching with ethtool)
//     --families F,...     ipv4, ipv6 (default both) for the unpaced runs;
//                          paced runs and streams use no-offload over IPv4
//     --perf-record FILE   `perf record` the daemon's stream thread during
//                          its measured unpaced passes into FILE
//     --latency-log FILE   append every unit's latency of the paced runs:
//                          run, reader, block, bytes, NAL type, µs
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "clip.h"
#include "context.h"
#include "machine.h"
#include "report.h"
#include "scenarios.h"
#include "process_run.h"
#include "store_feed.h"
#include "support/command_line.h"

namespace {

using namespace bench;

struct options {
  std::string bin, clip, long_clip, streams_clip, work = "/tmp/avtd-bench", tsv, perf_record, latency_log;
  int runs = 5;
  int streams_seconds = 10;
  std::vector<int> stream_counts = {16, 32};
  std::vector<std::string> skip;
  std::vector<std::string> nics = {"no-offload", "offload"};
  std::vector<std::string> families = {"ipv4", "ipv6"};
  bool skipped(const std::string& what) const {
    for (const std::string& s : skip)
      if (s == what) return true;
    return false;
  }
};

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

// Empty when the command line was taken, else why not.
std::string parse(int argc, char** argv, options& o) {
  for (int i = 1; i < argc; i += 2) {
    const std::string name = argv[i];
    static const std::vector<std::string> kNames = {"--bin", "--clip", "--long-clip", "--streams-clip", "--runs",
                                                    "--work", "--tsv", "--streams-seconds", "--skip", "--perf-record",
                                                    "--latency-log", "--nics", "--families", "--streams"};
    if (std::find(kNames.begin(), kNames.end(), name) == kNames.end()) return "unknown option " + name;
    if (i + 1 == argc) return "option " + name + " needs a value";
    const std::string value = argv[i + 1];
    if (name == "--bin") o.bin = value;
    else if (name == "--clip") o.clip = value;
    else if (name == "--long-clip") o.long_clip = value;
    else if (name == "--streams-clip") o.streams_clip = value;
    else if (name == "--runs") o.runs = std::atoi(value.c_str());
    else if (name == "--work") o.work = value;
    else if (name == "--tsv") o.tsv = value;
    else if (name == "--streams-seconds") o.streams_seconds = std::atoi(value.c_str());
    else if (name == "--skip") o.skip = split(value);
    else if (name == "--perf-record") o.perf_record = value;
    else if (name == "--latency-log") o.latency_log = value;
    else if (name == "--nics") o.nics = split(value);
    else if (name == "--families") o.families = split(value);
    else if (name == "--streams") {
      o.stream_counts.clear();
      for (const std::string& n : split(value))
        if (std::atoi(n.c_str()) > 0) o.stream_counts.push_back(std::atoi(n.c_str()));
    } else {
      return "unknown option " + name;
    }
  }
  for (const std::string& n : o.nics)
    if (n != "no-offload" && n != "offload") return "--nics takes no-offload and offload";
  for (const std::string& f : o.families)
    if (f != "ipv4" && f != "ipv6") return "--families takes ipv4 and ipv6";
  if (o.bin.empty() || o.clip.empty() || o.long_clip.empty() || o.streams_clip.empty())
    return "--bin, --clip, --long-clip and --streams-clip are needed";
  if (o.runs < 1 || o.runs > 50 || o.streams_seconds < 1 || o.streams_seconds > 600)
    return "--runs takes 1..50 and --streams-seconds 1..600";
  return "";
}

bool on_path(const char* program) {
  const char* path = std::getenv("PATH");
  std::stringstream in(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(in, dir, ':')) {
    if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

void progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void progress(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// The sending end's NIC model: whether eth0 segments UDP itself or the
// kernel cuts every burst in software first.
bool set_nic(const context& ctx, bool offload) {
  const pid_t pid = spawn({"ethtool", "-K", "eth0", "tx-udp-segmentation", offload ? "on" : "off"}, ctx.log("ethtool"));
  const auto end = pid > 0 ? reap(pid, 10000) : std::nullopt;
  return end && end->clean();
}

// Rows and logs of the NIC model and family under measurement.
void aim(context& ctx, bool offload, bool ipv6) {
  ctx.peer = ipv6 ? kPeerAddress6 : kPeerAddress;
  ctx.variant = std::string(offload ? kVariantOffload : "") + (ipv6 ? kVariantIpv6 : "");
}

class bench_runner {
 public:
  bench_runner(context& ctx, results& r) : ctx_(ctx), r_(r) {}

  void unpaced(const external_sender& s) {
    figures f;
    std::string error;
    if (run_unpaced_external(ctx_, s, f, error)) {
      record(r_, s.row + ctx_.variant, ctx_.run, f);
      progress("  unpaced %-16s %6.2f µs/packet, %.0f packets/s, start-up %.1f ms CPU", (s.row + ctx_.variant).c_str(),
               f.us_per_packet, f.packets_per_s, f.startup_cpu_ms);
    } else {
      progress("  unpaced %-16s failed: %s", (s.row + ctx_.variant).c_str(), error.c_str());
    }
  }

  void unpaced_daemon(const std::string& row) {
    figures f;
    std::string error;
    const std::string key = row + ctx_.variant;
    if (run_unpaced_daemon(ctx_, row, f, error)) {
      record(r_, key, ctx_.run, f);
      progress("  unpaced %-16s %6.2f µs/packet (stream thread %.2f, %.1f packets per call), own memory %.2f MiB, "
               "start-up %.2f ms CPU",
               key.c_str(), f.us_per_packet, f.thread_us_per_packet, f.packets_per_call, f.own_mib, f.startup_cpu_ms);
    } else {
      progress("  unpaced %-16s failed: %s", key.c_str(), error.c_str());
    }
  }

  // Start to end of a command that does next to nothing: what starting a
  // process costs on this machine.
  void reference(const std::vector<std::string>& argv, const std::string& row) {
    double cpu_ms = kNaN;
    std::string error;
    if (run_to_end(ctx_, argv, row, cpu_ms, error)) {
      r_.add(row, "startup_cpu_ms", ctx_.run, cpu_ms);
    } else {
      progress("  %-24s failed: %s", row.c_str(), error.c_str());
    }
  }

  void paced(const external_sender& s) {
    figures f;
    std::string error;
    if (run_paced_external(ctx_, s, f, error)) {
      record(r_, s.row, ctx_.run, f);
      progress("  paced   %-16s %6.2f %% of a core", s.row.c_str(), f.core_percent);
    } else {
      progress("  paced   %-16s failed: %s", s.row.c_str(), error.c_str());
    }
  }

  void paced_reader(bool echo) {
    figures f;
    std::string error;
    const char* row = echo ? kRowEcho : kRowDaemon;
    if (run_paced_reader(ctx_, echo, f, error)) {
      record(r_, row, ctx_.run, f);
      progress("  paced   %-16s %6.2f %% of a core, latency p50 %.0f µs p99 %.0f µs (other than key frames: p99 %.0f µs)",
               row, f.core_percent, f.latency_p50_us, f.latency_p99_us, f.latency_other_p99_us);
    } else {
      progress("  paced   %-16s failed: %s", row, error.c_str());
    }
  }

  void streams(int count, int seconds) {
    double share = kNaN;
    std::string error;
    if (run_streams(ctx_, count, seconds, share, error)) {
      r_.add("streams-" + std::to_string(count), "core_percent", ctx_.run, share);
      progress("  %2d streams               %6.1f %% of a core", count, share);
    } else {
      progress("  %2d streams failed: %s", count, error.c_str());
    }
  }

 private:
  context& ctx_;
  results& r_;
};

} // namespace

int main(int argc, char** argv) {
  static const char kUsage[] =
      "usage: avtd-bench --bin DIR --clip FILE --long-clip FILE --streams-clip FILE [--runs N]\n"
      "                  [--work DIR] [--tsv FILE] [--streams N,M] [--streams-seconds S] [--skip WHAT,...]\n"
      "                  [--perf-record FILE] [--latency-log FILE] [--nics MODEL,...] [--families F,...]\n"
      "Measures the daemon beside its floors and other senders (scripts/bench.sh runs it in the sandbox).\n";
  options o;
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    return show_help(kUsage);
  }
  if (const std::string why = parse(argc, argv, o); !why.empty()) {
    return refuse_command_line("avtd-bench", why, kUsage);
  }
  const char* netns = std::getenv("AVTD_PEER_NETNS");
  if (netns == nullptr) {
    std::fprintf(stderr, "avtd-bench: run it inside the sandbox (AVTD_PEER_NETNS is not set)\n");
    return 2;
  }
  if (!become_subreaper()) {
    std::fprintf(stderr, "avtd-bench: cannot become a child subreaper\n");
    return 1;
  }
  mkdir(o.work.c_str(), 0755);

  context ctx;
  ctx.bin = o.bin;
  ctx.work = o.work;
  ctx.netns = netns;
  ctx.perf_record = o.perf_record;
  ctx.latency_log = o.latency_log;
  ctx.fault_library = o.bin + "/../lib/kernel_faults.so";
  std::string error;
  for (auto [c, path] : {std::pair{&ctx.paced, o.clip}, {&ctx.unpaced, o.long_clip}, {&ctx.streams, o.streams_clip}}) {
    if (!load_clip(path, *c, error)) {
      std::fprintf(stderr, "avtd-bench: %s\n", error.c_str());
      return 1;
    }
  }
  ctx.paced_sizes = o.work + "/paced.sizes";
  ctx.unpaced_sizes = o.work + "/unpaced.sizes";
  ctx.unpaced_sizes6 = o.work + "/unpaced-ipv6.sizes";
  if (!write_sizes_file(ctx.paced, ctx.paced_sizes) || !write_sizes_file(ctx.unpaced, ctx.unpaced_sizes) ||
      !write_sizes_file(ctx.unpaced, ctx.unpaced_sizes6, true)) {
    std::fprintf(stderr, "avtd-bench: cannot write the datagram sizes into %s\n", o.work.c_str());
    return 1;
  }
  ctx.have_gst = !o.skipped("gstreamer") && on_path("gst-launch-1.0");
  ctx.have_ffmpeg = !o.skipped("ffmpeg") && on_path("ffmpeg");
  progress("clip %s: %llu frames, %zu datagrams, %.1f Mbit/s at %d frames/s", o.clip.c_str(),
           static_cast<unsigned long long>(ctx.paced.frames), ctx.paced.packets.size(),
           static_cast<double>(ctx.paced.packet_bytes) * 8 * kFeedFps / static_cast<double>(ctx.paced.frames) / 1e6,
           kFeedFps);

  // The session service the daemon reports its bit rate to, as on the device.
  const pid_t sessiond = spawn({o.bin + "/mini-sessiond", "--log", o.work + "/sessiond.log"}, ctx.log("mini-sessiond"));
  for (int waited = 0; waited < 5000 && access("/tmp/session", F_OK) != 0; ++waited) sleep_ms(1);

  results r;
  results warm; // first runs load caches (GStreamer's registry among them)
  bench_runner warmup(ctx, warm);
  bench_runner runner(ctx, r);
  progress("warming up");
  warmup.unpaced_daemon(kRowDaemon);
  if (ctx.have_gst && !(o.skipped("unpaced") && o.skipped("paced"))) warmup.unpaced(gstreamer_sender(ctx, false));
  if (ctx.have_ffmpeg && !(o.skipped("unpaced") && o.skipped("paced"))) warmup.unpaced(ffmpeg_sender(ctx, false));

  for (ctx.run = 0; ctx.run < o.runs; ++ctx.run) {
    progress("repetition %d of %d", ctx.run + 1, o.runs);
    if (!o.skipped("unpaced")) {
      runner.reference({"true"}, kRowTrue);
      runner.reference({o.bin + "/avtd", "--help"}, kRowDaemonHelp);
      // Every path beside the floor of its kind, moments apart, for each
      // NIC model and family.
      for (const std::string& nic : o.nics) {
        const bool offload = nic == "offload";
        if (!set_nic(ctx, offload)) progress("  cannot switch eth0's segmentation offload %s", offload ? "on" : "off");
        for (const std::string& family : o.families) {
          aim(ctx, offload, family == "ipv6");
          runner.unpaced(floor_sender(ctx, false));
          runner.unpaced_daemon(kRowDaemon);
          if (ctx.have_gst) runner.unpaced(gstreamer_sender(ctx, false));
          if (ctx.have_ffmpeg) runner.unpaced(ffmpeg_sender(ctx, false));
          if (!o.skipped("experiment")) {
            runner.unpaced(floor_sender(ctx, false, "sendmmsg"));
            runner.unpaced(floor_sender(ctx, false, "gso"));
          }
          if (!o.skipped("fallback") && access(ctx.fault_library.c_str(), R_OK) == 0) {
            runner.unpaced_daemon(kRowDaemonNoOffload);
            runner.unpaced_daemon(kRowDaemonSingle);
          }
        }
      }
      set_nic(ctx, false);
      aim(ctx, false, false);
    }
    if (!o.skipped("paced")) {
      runner.paced(floor_sender(ctx, true));
      runner.paced_reader(false);
      runner.paced_reader(true);
      if (ctx.have_gst) runner.paced(gstreamer_sender(ctx, true));
      if (ctx.have_ffmpeg) runner.paced(ffmpeg_sender(ctx, true));
    }
    if (!o.skipped("streams")) {
      for (const int n : o.stream_counts) runner.streams(n, o.streams_seconds);
    }
  }
  stop(sessiond, 2000);

  report_setup setup;
  setup.machine = measure_machine();
  setup.frame_buffer_mib = static_cast<double>(store_geometry(ctx.unpaced, true).max_frame_size) / (1 << 20);
  setup.paced_seconds = static_cast<int>(ctx.paced.frames / kFeedFps);
  setup.streams_seconds = o.streams_seconds;
  if (!o.skipped("streams")) setup.stream_counts = o.stream_counts;
  print_report(stdout, ctx, r, setup);
  if (!o.tsv.empty()) r.write_tsv(o.tsv);
  return 0;
}
