// Unpaced runs: the whole clip as fast as each sender goes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "daemon_run.h"
#include "measure.h"
#include "scenarios.h"
#include "process_run.h"
#include "store_feed.h"

namespace bench {

namespace {

constexpr int kSampleMs = 2;
constexpr int kMemoryEvery = 25; // samples
constexpr int kRunLimitMs = 180000;
constexpr int kFirstPacketMs = 10000;
constexpr int kStallMs = 3000;   // no new datagram for this long: the daemon stalled
constexpr int kSettleMs = 200;
constexpr int kFeederEndMs = 30000; // a loaded machine may take seconds

// The largest UDP payload that leaves unfragmented at MTU 1500.
std::string datagram_size(const context& ctx) { return ctx.ipv6() ? "1452" : "1472"; }

std::string port_url(const context& ctx, int port) {
  return "rtp://" + (ctx.ipv6() ? "[" + ctx.peer + "]" : ctx.peer) + ":" + std::to_string(port);
}

// The run's start-up figures from the probe.
void fill_startup(figures& f, const first_packet_probe& probe, int64_t launched_ns, double before_ms) {
  if (probe.cpu_ns() >= 0) f.startup_cpu_ms = before_ms + static_cast<double>(probe.cpu_ns()) / 1e6;
  if (probe.rx_ns() > 0) f.startup_wall_ms = static_cast<double>(probe.rx_ns() - launched_ns) / 1e6;
}

// The floor measures its own send loop: "sent N datagrams, B bytes, cpu C ns, wall W ns".
bool own_report(const std::string& log, figures& f) {
  std::FILE* in = std::fopen(log.c_str(), "r");
  if (in == nullptr) return false;
  char line[256];
  bool found = false;
  while (std::fgets(line, sizeof line, in) != nullptr) {
    unsigned long long n = 0, bytes = 0;
    long long cpu = 0, wall = 0;
    if (std::sscanf(line, "sent %llu datagrams, %llu bytes, cpu %lld ns, wall %lld ns", &n, &bytes, &cpu, &wall) == 4 &&
        n > 0 && wall > 0) {
      f.packets = static_cast<double>(n);
      f.us_per_packet = static_cast<double>(cpu) / 1e3 / static_cast<double>(n);
      f.cpu_s_per_gb = (static_cast<double>(cpu) / 1e9) / (static_cast<double>(bytes) / 1e9);
      f.packets_per_s = static_cast<double>(n) / (static_cast<double>(wall) / 1e9);
      f.core_percent = 100.0 * static_cast<double>(cpu) / static_cast<double>(wall);
      found = true;
    }
  }
  std::fclose(in);
  return found;
}

double bytes_per_packet(const udp_sink& sink) {
  return sink.packets() > 0 ? static_cast<double>(sink.bytes()) / static_cast<double>(sink.packets()) : 0;
}

} // namespace

external_sender floor_sender(const context& ctx, bool paced, const std::string& mode) {
  external_sender s;
  s.row = mode == "sendto" ? "floor" : "floor-" + mode;
  s.reports_itself = true;
  s.argv = {ctx.bin + "/floor_sender", "--host", ctx.peer, "--port", std::to_string(kRtpPort), "--sizes",
            paced ? ctx.paced_sizes : ctx.ipv6() ? ctx.unpaced_sizes6 : ctx.unpaced_sizes, "--mode", mode};
  if (paced) s.argv.insert(s.argv.end(), {"--fps", std::to_string(kFeedFps)});
  return s;
}

external_sender gstreamer_sender(const context& ctx, bool paced) {
  external_sender s;
  s.row = "gstreamer";
  s.argv = {"gst-launch-1.0", "-q", "filesrc", "location=" + (paced ? ctx.paced.path : ctx.unpaced.path), "!",
            "h264parse", "!", "rtph264pay", "mtu=" + datagram_size(ctx), "!", "udpsink", "host=" + ctx.peer,
            "port=" + std::to_string(kRtpPort), paced ? "sync=true" : "sync=false"};
  return s;
}

external_sender ffmpeg_sender(const context& ctx, bool paced) {
  external_sender s;
  s.row = "ffmpeg";
  s.argv = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin"};
  if (paced) s.argv.push_back("-re");
  s.argv.insert(s.argv.end(), {"-f", "h264", "-framerate", std::to_string(kFeedFps), "-i",
                               paced ? ctx.paced.path : ctx.unpaced.path, "-c", "copy", "-f", "rtp", "-pkt_size",
                               datagram_size(ctx), port_url(ctx, kRtpPort)});
  return s;
}

// Samples a sender from its start to its end. The window runs from the first
// sample after its first datagram to the last sample before its last one, so
// that neither start-up nor tear-down is in it; the namespace's datagram
// counter counts what was sent in it.
bool run_external(context& ctx, const external_sender& s, bool paced, figures& f, std::string& error) {
  first_packet_probe probe;
  udp_sink sink;
  if (!sink.start({ctx.netns, ctx.peer, {kRtpPort}, 0}, probe.hook(), error)) return false;
  const uint64_t sent_before = ctx.out.read();
  const int64_t launched = realtime_ns();
  const std::string log = ctx.log(s.row + (paced ? "-paced" : "-unpaced"));
  const pid_t pid = spawn(s.argv, log);
  if (pid < 0) {
    error = "cannot start " + s.argv[0];
    return false;
  }
  probe.set_pid(pid);
  watcher w(ctx, sink, pid);
  std::vector<sample> samples;
  samples.reserve(static_cast<size_t>(kRunLimitMs / kSampleMs) + 1);
  std::optional<ended> end;
  bool memory_seen = false;
  for (int i = 0; i * kSampleMs < kRunLimitMs; ++i) {
    if ((end = reap(pid, 0))) break;
    samples.push_back(w.take());
    // Memory only once it runs its own program (the first datagram is out),
    // at once then, so that short runs are seen too.
    if (probe.rx_ns() > 0 && (!memory_seen || i % kMemoryEvery == 0)) {
      w.note_memory();
      memory_seen = true;
    }
    sleep_ms(kSampleMs);
  }
  if (!end) {
    end = stop(pid, 2000);
    error = s.row + " did not finish in time";
    return false;
  }
  sleep_ms(kSettleMs); // the last datagrams reach the sink
  const uint64_t sent_after = ctx.out.read();
  sink.stop();
  if (!end->clean() || sent_after == sent_before) {
    error = s.row + " failed (see " + log + ")";
    return false;
  }
  if (s.reports_itself && !own_report(log, f)) {
    error = s.row + " did not report its figures (see " + log + ")";
    return false;
  }
  const sample* from = nullptr;
  const sample* to = nullptr;
  for (const sample& x : samples) {
    if (x.cpu_ns < 0) continue;
    if (from == nullptr && x.sent > sent_before) from = &x;
    if (x.sent < sent_after) to = &x;
  }
  if (!s.reports_itself && (from == nullptr || to == nullptr || to->sent <= from->sent)) {
    error = s.row + " sent too little to measure";
    return false;
  }
  if (!s.reports_itself) fill_window(f, *from, *to, true, bytes_per_packet(sink));
  if (paced) {
    f.us_per_packet = f.cpu_s_per_gb = f.packets_per_s = kNaN;
  } else {
    f.core_percent = kNaN;
    fill_startup(f, probe, launched, 0);
  }
  f.peak_resident_mib = w.peak_resident_mib();
  f.own_mib = w.own_mib();
  f.dropped = static_cast<double>(sink.dropped());
  return true;
}

bool run_to_end(context& ctx, const std::vector<std::string>& argv, const std::string& row, double& cpu_ms,
                std::string& error) {
  const pid_t pid = spawn(argv, ctx.log(row));
  const auto end = pid > 0 ? reap(pid, 10000) : std::nullopt;
  if (!end || !WIFEXITED(end->status)) {
    error = argv[0] + " did not end";
    return false;
  }
  cpu_ms = end->cpu_ms();
  return true;
}

bool run_unpaced_external(context& ctx, const external_sender& s, figures& f, std::string& error) {
  return run_external(ctx, s, false, f, error);
}

bool run_paced_external(context& ctx, const external_sender& s, figures& f, std::string& error) {
  return run_external(ctx, s, true, f, error);
}

// One frame-feeder --unpaced pass of the whole clip; waits until the sink has
// `expected` datagrams (or nothing more comes for a while). With `stopped`
// (the daemon, stopped) the store is filled first and the daemon resumed
// after: it then drains a full store alone.
bool feed_unpaced_pass(context& ctx, const framestore::StoreGeometry& g, udp_sink& sink, uint64_t expected,
                       watcher& w, pid_t stopped = 0) {
  const clip& c = ctx.unpaced;
  if (stopped > 0) kill(stopped, SIGSTOP);
  const pid_t feeder = spawn({ctx.bin + "/frame-feeder", "--codec", "h264", "--channel", "0", "--input", c.path,
                              "--unpaced", "--keep", "--blocks", std::to_string(g.block_count), "--ring-size",
                              std::to_string(g.data_size), "--max-frame", std::to_string(g.max_frame_size)},
                             ctx.log("frame-feeder"));
  if (stopped > 0) {
    const auto filled = reap(feeder, kRunLimitMs);
    kill(stopped, SIGCONT);
    if (!filled || !filled->clean()) return false;
  }
  uint64_t last_count = 0;
  int quiet = 0;
  for (int i = 0; i * kSampleMs < kRunLimitMs; i++) {
    sleep_ms(kSampleMs);
    const uint64_t now = sink.packets() + sink.dropped();
    quiet = now == last_count ? quiet + kSampleMs : 0;
    last_count = now;
    if ((now >= expected && quiet >= kSettleMs / 10) || quiet >= kStallMs) break;
    if (i % kMemoryEvery == 0) w.note_memory();
  }
  const auto fed = stopped > 0 ? std::optional<ended>(ended{}) : reap(feeder, kFeederEndMs);
  return fed && fed->clean() && last_count >= expected;
}

bool run_unpaced_daemon(context& ctx, const std::string& row, figures& f, std::string& error) {
  const clip& c = ctx.unpaced;
  const uint64_t packets = ctx.ipv6() ? c.packets6.size() : c.packets.size();
  const framestore::StoreGeometry g = store_geometry(c, true);
  {
    // One key frame is there when the daemon starts: it sends it at once.
    store_writer store;
    if (!store.open(g, error)) return false;
    store.publish(c, 0, 0);
    store.release();
  }
  first_packet_probe probe(daemon_pid_file(kSessionId));
  udp_sink sink;
  if (!sink.start({ctx.netns, ctx.peer, {kRtpPort}, 0}, probe.hook(), error)) return false;
  daemon_process d;
  if (!launch_daemon(ctx, kSessionId, kRtpPort, d, error, row)) return false;
  bool ok = false;
  for (int waited = 0; waited < kFirstPacketMs && sink.packets() == 0; ++waited) sleep_ms(1);
  if (sink.packets() == 0) {
    error = "avtd sent nothing";
  } else if (!find_stream_thread(d)) {
    error = "avtd's stream thread did not show up";
  } else {
    ok = true;
  }
  if (ok) {
    fill_startup(f, probe, d.launched_ns, d.launcher_cpu_ms);
    watcher w(ctx, sink, d.pid, d.stream_tid);
    // A first pass maps the whole ring into the daemon, as a long-running
    // daemon has it mapped; the second pass is measured.
    const uint64_t first_pass = 1 + packets;
    ok = feed_unpaced_pass(ctx, g, sink, first_pass, w);
    if (!ok) error = "avtd sent " + std::to_string(sink.packets()) + " of " + std::to_string(first_pass) +
                     " datagrams in the first pass, or the feeder did not end (see " + ctx.log("frame-feeder") + ")";
  }
  if (ok) {
    watcher w(ctx, sink, d.pid, d.stream_tid);
    sleep_ms(kSettleMs);
    w.note_memory();
    const sample from = w.take();
    sink.mark();
    const uint64_t expected = from.received + packets;
    pid_t recorder = -1;
    if (!ctx.perf_record.empty()) {
      recorder = spawn({"perf", "record", "-q", "-e", "cpu-clock", "-F", "20000", "-g", "-t",
                        std::to_string(d.stream_tid), "-o", ctx.perf_record}, ctx.log("perf"));
      sleep_ms(500);
    }
    ok = feed_unpaced_pass(ctx, g, sink, expected, w, d.pid);
    if (recorder > 0) {
      kill(recorder, SIGINT);
      reap(recorder, 10000);
    }
    w.note_memory();
    const sample to = w.take();
    fill_window(f, from, to, false, bytes_per_packet(sink));
    f.core_percent = kNaN;
    if (to.sent > from.sent) f.packets_per_call = static_cast<double>(to.received - from.received) /
                                                  static_cast<double>(to.sent - from.sent);
    const int64_t first = sink.window_first_rx_ns(), last = sink.last_rx_ns();
    if (first > 0 && last > first) f.packets_per_s = (f.packets - 1) / (static_cast<double>(last - first) / 1e9);
    f.peak_resident_mib = w.peak_resident_mib();
    f.own_mib = w.own_mib();
    f.dropped = static_cast<double>(sink.dropped());
    if (!ok) error = "avtd sent " + std::to_string(to.received - from.received) + " of " +
                     std::to_string(packets) + " datagrams";
  }
  sink.stop();
  std::string stop_error;
  if (!stop_daemon(d, stop_error) && ok) {
    error = stop_error;
    ok = false;
  }
  f.stop_wall_ms = d.stop_wall_ms;
  unlink(kStorePath);
  return ok;
}

} // namespace bench
