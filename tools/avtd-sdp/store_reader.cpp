#include "store_reader.h"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/framestore.h"

namespace sdp {
namespace {

constexpr uint8_t kFrameRate7_5 = 64;
constexpr uint8_t kFrameRateHalf = 254;
constexpr uint8_t kMpeg4IntraA = 15;
constexpr uint8_t kMpeg4IntraB = 12;

double monotonic_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double frame_rate(uint8_t code, Want want) {
  if (code == kFrameRate7_5) {
    return 7.5;
  }
  if (code == kFrameRateHalf && want == Want::jpeg) {
    return 0.5;
  }
  return code;
}

class Attachment {
 public:
  ~Attachment() {
    if (attached_) {
      shm_detach(&handle_);
    }
  }
  bool attach(const char* name, int number) {
    attached_ = shm_attach(name, number, &handle_) >= 0;
    return attached_;
  }
  shm_handle* handle() { return &handle_; }

 private:
  shm_handle handle_{};
  bool attached_ = false;
};

// Takes from one block what `want` needs; true when nothing more is needed.
bool take(Bytes block, const shm_blockinfo& info, Want want, StoreFacts& facts, bool newest) {
  if (newest) {
    facts.framerate = frame_rate(info.frame_rate_code, want);
  }
  switch (want) {
    case Want::h264:
      take_param_sets(block, facts.h264);
      return facts.h264.complete();
    case Want::mpeg4:
      // I-VOP blocks carry the configuration headers in front.
      if (info.frame_type == kMpeg4IntraA || info.frame_type == kMpeg4IntraB || !facts.mpeg4.found()) {
        facts.mpeg4 = mpeg4_config(block);
      }
      return facts.mpeg4.found();
    case Want::jpeg:
      facts.width = info.width != 0 ? info.width : info.fallback_width;
      facts.height = info.height != 0 ? info.height : info.fallback_height;
      return true;
  }
  return true;
}

} // namespace

StoreFacts read_store(const char* name, int number, Want want, int max_blocks, double wait_seconds) {
  StoreFacts facts;
  Attachment store;
  if (!store.attach(name, number)) {
    facts.error = std::string("cannot attach ") + name + ": " + std::strerror(errno);
    return facts;
  }
  facts.attached = true;
  shm_handle* h = store.handle();
  facts.codec = std::atomic_ref<uint32_t>(h->header->codec).load();
  const int blocks = static_cast<int>(h->block_count);
  if (blocks <= 0 || h->max_frame == 0) {
    facts.error = "store has no blocks";
    return facts;
  }
  std::vector<uint8_t> buffer(h->max_frame);
  const int size = static_cast<int>(buffer.size());
  shm_blockinfo info{};

  // Newest first: the first parameter sets met are the newest ones. A block
  // that was never written or is overwritten meanwhile ends the look back.
  const int newest = std::atomic_ref<int32_t>(h->header->wp).load();
  // Only blocks that were ever written; the count wraps at 2^32, past which
  // the ring is long full.
  const uint32_t published = std::atomic_ref<uint32_t>(h->header->published).load();
  const bool never_written = published == 0;
  int limit = max_blocks < blocks ? max_blocks : blocks;
  if (published < static_cast<uint32_t>(limit)) {
    limit = static_cast<int>(published);
  }
  bool done = false;
  for (int back = 0; back < limit && !done; ++back) {
    int rp = ((newest - back) % blocks + blocks) % blocks;
    if (back > 0 && shm_check_read_delay(h, rp) != 0) {
      break;
    }
    std::memset(&info, 0, sizeof info);
    const int n = shm_read_data_blockinfo(buffer.data(), size, &info, h, &rp, 0);
    if (n <= 0) {
      break;
    }
    done = take(Bytes(buffer.data(), static_cast<size_t>(n)), info, want, facts, back == 0);
  }
  // Nothing usable in the ring yet: wait for what comes next.
  int rp = never_written ? 0 : (newest + 1) % blocks;
  const double deadline = monotonic_seconds() + wait_seconds;
  bool first = true;
  while (!done && monotonic_seconds() < deadline) {
    if (shm_check_read_delay(h, rp) != 0) {
      rp = std::atomic_ref<int32_t>(h->header->wp).load();
    }
    std::memset(&info, 0, sizeof info);
    const int n = shm_read_data_blockinfo(buffer.data(), size, &info, h, &rp, 0);
    if (n == kShmDestroyed) {
      break;
    }
    if (n > 0) {
      done = take(Bytes(buffer.data(), static_cast<size_t>(n)), info, want, facts, first);
      first = false;
    }
  }
  if (!done) {
    facts.error = "no key frame with the stream parameters in the store";
  }
  return facts;
}

} // namespace sdp
