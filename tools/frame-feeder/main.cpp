// frame-feeder: fills a frame store from a media file, as the device's
// encoders would, for the daemon's tests and demos.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "feed_loop.h"
#include "feed_plan.h"
#include "h264_units.h"
#include "jpeg_units.h"
#include "mpeg4_units.h"
#include "options.h"
#include "platform/framestore.h"
#include "platform/framestore_producer.h"
#include "support/command_line.h"
#include "toolkit/stop_signals.h"

namespace {

using namespace feeder;

std::atomic<bool> g_stop{false};

extern "C" void on_stop_signal(int) { g_stop.store(true, std::memory_order_relaxed); }

void install_signals() { toolkit::on_stop_signals(on_stop_signal); }

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    if (n == 0) break;
    out->insert(out->end(), chunk, chunk + n);
  }
  close(fd);
  return true;
}

uint32_t codec_word(Codec c) {
  switch (c) {
    case Codec::h264: return kCodecH264;
    case Codec::jpeg: return kCodecJpeg;
    case Codec::mpeg4: return kCodecMpeg4;
    case Codec::ulaw: return kCodecUlaw;
  }
  return 0;
}

FeedPlan make_plan(const Options& o, std::span<const uint8_t> input) {
  if (o.codec == Codec::ulaw) return plan_fixed_blocks(input, o.raw_block ? o.raw_block : o.audio_block, 0);
  if (o.raw_block != 0) {
    const uint8_t key = o.codec == Codec::h264 ? 8 : o.codec == Codec::mpeg4 ? kMpeg4KeyFrameType : 0;
    return plan_fixed_blocks(input, o.raw_block, key);
  }
  switch (o.codec) {
    case Codec::h264: return plan_h264(input, o.playback, o.repeat_headers);
    case Codec::jpeg: return plan_jpeg(input);
    case Codec::mpeg4: return plan_mpeg4(input);
    case Codec::ulaw: break;
  }
  return {};
}

// The store's geometry: the defaults of the codec's kind, room for the
// largest block, and the command line's overrides.
framestore::StoreGeometry geometry_for(const Options& o, const FeedPlan& plan) {
  const bool audio = o.codec == Codec::ulaw;
  framestore::StoreGeometry g;
  g.block_count = audio ? 128 : 256;
  g.data_size = audio ? 64u << 10 : 8u << 20;
  g.max_frame_size = audio ? 1072 : 1u << 20;
  uint32_t largest = 0;
  for (const PlannedBlock& b : plan.blocks) largest = std::max(largest, block_size(b));
  if (o.blocks) g.block_count = o.blocks;
  if (o.max_frame) g.max_frame_size = o.max_frame;
  g.max_frame_size = std::max(g.max_frame_size, largest);
  if (o.ring_size) g.data_size = o.ring_size;
  g.data_size = std::max<uint32_t>(g.data_size, ((g.max_frame_size + 3) & ~3u) * 2);
  return g;
}

}  // namespace

int main(int argc, char* argv[]) {
  const ParseResult parsed = parse_options(argc, argv);
  if (!parsed.options) {
    return refuse_command_line("frame-feeder", parsed.error, kUsage);
  }
  const Options& o = *parsed.options;
  if (o.help) {
    return show_help(kUsage);
  }

  std::vector<uint8_t> input;
  if (!read_file(o.input, &input)) {
    std::fprintf(stderr, "frame-feeder: cannot read %s: %s\n", o.input.c_str(), std::strerror(errno));
    return 1;
  }
  const FeedPlan plan = make_plan(o, input);
  if (plan.blocks.empty()) {
    std::fprintf(stderr, "frame-feeder: no blocks in %s\n", o.input.c_str());
    return 1;
  }

  std::string path;
  int number = 0;
  if (!o.store_path.empty()) {
    path = o.store_path;
    number = o.store_number >= 0 ? o.store_number : 100;
  } else if (o.playback) {
    path = kPlaybackStoreName;
    number = kPlaybackStoreNumber;
  } else if (o.codec == Codec::ulaw) {
    path = audio_chan_conf[0].name;
    number = audio_chan_conf[0].number;
  } else {
    path = shm_chan_conf[o.channel].name;
    number = shm_chan_conf[o.channel].number;
  }

  framestore::Producer store;
  if (store.open(path.c_str(), number, codec_word(o.codec), geometry_for(o, plan)) != 0) {
    std::fprintf(stderr, "frame-feeder: cannot open store %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  install_signals();

  FeedSettings s;
  s.fps = o.fps;
  s.rate_code = o.rate_code >= 0 ? static_cast<uint8_t>(o.rate_code) : rate_code_for(o.fps);
  s.audio = o.codec == Codec::ulaw;
  s.paced = !o.unpaced;
  s.loop = o.loop;
  s.max_frames = o.max_frames;
  s.fallback_width = o.fallback_width;
  s.fallback_height = o.fallback_height;
  s.no_size = o.no_size;
  s.status_path = o.status_path;
  bool failed = false;
  const FeedCount count = feed(plan, input, store, s, g_stop, &failed);
  const int feed_errno = errno;
  if (!o.keep) store.destroy();
  store.close();
  std::printf("fed %llu frames (%llu blocks)\n", static_cast<unsigned long long>(count.frames),
              static_cast<unsigned long long>(count.blocks));
  if (failed) {
    std::fprintf(stderr, "frame-feeder: the store refused a block: %s\n", std::strerror(feed_errno));
    return 1;
  }
  return 0;
}
