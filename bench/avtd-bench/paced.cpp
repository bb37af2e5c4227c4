// Paced runs of the daemon: one stream at the clip's rate with the latency
// from publication to the wire, and many concurrent streams.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "daemon_run.h"
#include "measure.h"
#include "scenarios.h"
#include "process_run.h"
#include "store_feed.h"

namespace bench {

namespace {

constexpr int kFirstPacketMs = 10000;
constexpr int kSettleMs = 200;
constexpr int kFramePeriodMs = 1000 / kFeedFps + 1;
constexpr int kMemoryEveryMs = 250;
constexpr int kStreamsPortBase = 6000;
constexpr int kWarmFps = 10 * kFeedFps;
constexpr int kAllStreamsMs = 20000;

bool wait_for_packets(const udp_sink& sink, uint64_t count, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms && sink.packets() < count; ++waited) sleep_ms(1);
  return sink.packets() >= count;
}

} // namespace

bool run_paced_reader(context& ctx, bool echo, figures& f, std::string& error) {
  const clip& c = ctx.paced;
  store_writer store;
  if (!store.open(store_geometry(c, false), error)) return false;
  store.publish(c, 0, 0); // the key frame that is there when the reader starts

  first_packet_probe probe(echo ? std::string() : daemon_pid_file(kSessionId));
  udp_sink sink;
  if (!sink.start({ctx.netns, kPeerAddress, {kRtpPort}, 2 * c.blocks.size() + 64}, probe.hook(), error)) return false;
  daemon_process d;
  bool ok = true;
  if (echo) {
    d.pid = spawn({ctx.bin + "/store_echo", "--host", kPeerAddress, "--port", std::to_string(kRtpPort)},
                  ctx.log(kRowEcho));
    probe.set_pid(d.pid);
  } else {
    ok = launch_daemon(ctx, kSessionId, kRtpPort, d, error);
  }
  ok = ok && wait_for_packets(sink, 1, kFirstPacketMs) && (echo || find_stream_thread(d));
  if (!ok && error.empty()) error = "the reader did not start sending";
  if (ok) {
    // A quick first pass maps the store's ring into the reader, as a
    // long-running daemon has it mapped; the second pass at the clip's rate
    // is measured.
    paced_feed warm;
    warm.start(store, c, 1, false, kWarmFps);
    warm.join();
    sleep_ms(kSettleMs);
    watcher w(ctx, sink, d.pid, d.stream_tid);
    paced_feed feed;
    const sample from = w.take();
    feed.start(store, c, 0, false);
    while (!feed.done()) {
      sleep_ms(kMemoryEveryMs);
      w.note_memory();
    }
    feed.join();
    sleep_ms(kFramePeriodMs); // the last frame goes out
    const sample to = w.take();
    fill_window(f, from, to, false, 0);
    f.us_per_packet = f.thread_us_per_packet = f.packets_per_s = kNaN;
    sink.stop();
    std::vector<unit_latency> each;
    const latency_figures lat = publication_latency(c, feed.log(), sink.markers(), &each);
    if (!ctx.latency_log.empty()) {
      if (std::FILE* out = std::fopen(ctx.latency_log.c_str(), "a")) {
        for (const unit_latency& u : each)
          std::fprintf(out, "%d\t%s\t%u\t%u\t%u\t%.1f\n", ctx.run + 1, echo ? kRowEcho : kRowDaemon, u.block,
                       c.blocks[u.block].size, c.blocks[u.block].nal_type, u.us);
        std::fclose(out);
      }
    }
    f.latency_p50_us = lat.all.p50_us;
    f.latency_p99_us = lat.all.p99_us;
    f.latency_max_us = lat.all.max_us;
    f.latency_other_p50_us = lat.other.p50_us;
    f.latency_other_p99_us = lat.other.p99_us;
    f.latency_key_p50_us = lat.key.p50_us;
    f.latency_key_p99_us = lat.key.p99_us;
    f.dropped = static_cast<double>(sink.dropped());
    if (lat.matched + 16 < feed.log().size()) {
      error = "only " + std::to_string(lat.matched) + " of " + std::to_string(feed.log().size()) +
              " units were found at the receiving host";
      ok = false;
    }
  }
  sink.stop();
  std::string stop_error;
  const bool stopped = echo ? stop(d.pid, 5000).has_value() : stop_daemon(d, stop_error);
  if (!stopped && ok) {
    error = echo ? "store_echo did not stop" : stop_error;
    ok = false;
  }
  store.destroy();
  unlink(kStorePath);
  return ok;
}

bool run_streams(context& ctx, int count, int seconds, double& core_percent, std::string& error) {
  const clip& c = ctx.streams;
  store_writer store;
  if (!store.open(store_geometry(c, false), error)) return false;
  paced_feed feed;
  feed.start(store, c, 0, true);

  std::vector<int> ports;
  for (int k = 1; k <= count; ++k) ports.push_back(kStreamsPortBase + 2 * k);
  udp_sink sink;
  bool ok = sink.start({ctx.netns, kPeerAddress, ports, 0}, nullptr, error);
  std::vector<daemon_process> daemons;
  for (int k = 1; ok && k <= count; ++k) {
    daemon_process d;
    ok = launch_daemon(ctx, k, ports[static_cast<size_t>(k - 1)], d, error);
    if (ok) daemons.push_back(d);
  }
  for (int waited = 0; ok && waited < kAllStreamsMs && sink.ports_heard() < count; waited += 10) sleep_ms(10);
  if (ok && sink.ports_heard() < count) {
    error = std::to_string(sink.ports_heard()) + " of " + std::to_string(count) + " streams arrived";
    ok = false;
  }
  if (ok) {
    sleep_ms(1000);
    auto total_cpu = [&] {
      int64_t sum = 0;
      for (const daemon_process& d : daemons) {
        const int64_t cpu = process_cpu_ns(d.pid);
        if (cpu < 0) return int64_t{-1};
        sum += cpu;
      }
      return sum;
    };
    const int64_t t0 = monotonic_ns(), cpu0 = total_cpu();
    sleep_ms(seconds * 1000);
    const int64_t t1 = monotonic_ns(), cpu1 = total_cpu();
    if (cpu0 < 0 || cpu1 < 0) {
      error = "a daemon ended during the run";
      ok = false;
    } else {
      core_percent = 100.0 * static_cast<double>(cpu1 - cpu0) / static_cast<double>(t1 - t0);
    }
  }
  // All at once, and each exactly once: a second SIGTERM would make a
  // stopping daemon exit with status 1.
  for (daemon_process& d : daemons) kill(d.pid, SIGTERM);
  for (daemon_process& d : daemons) {
    std::string stop_error;
    if (!await_daemon(d, stop_error) && ok) {
      error = stop_error;
      ok = false;
    }
  }
  sink.stop();
  feed.stop();
  feed.join();
  store.destroy();
  unlink(kStorePath);
  return ok;
}

} // namespace bench
