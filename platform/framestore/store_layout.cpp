#include "store_layout.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace framestore::detail {

namespace {
long futex_call(const uint32_t* word, int op, uint32_t value, const timespec* timeout) {
#if defined(SYS_futex_time64)
  // 32-bit targets: the plain call takes a 32-bit time_t.
  if constexpr (sizeof(time_t) == 8 && sizeof(long) == 4) {
    return syscall(SYS_futex_time64, word, op, value, timeout, nullptr, 0);
  }
#endif
  return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}
}  // namespace

Geometry geometry_of(const shm_channel_header& h) {
  return Geometry{load(h.block_count), load(h.data_size),  load(h.max_frame_size), load(h.block_table),
                  load(h.slot_table),  load(h.data_ring), load(h.file_size)};
}

bool geometry_is_consistent(const Geometry& g, size_t file_size) {
  if (g.blocks < kMinBlocks || g.blocks > kMaxBlocks) return false;
  if (g.data_size == 0 || g.data_size % 4 != 0 || g.data_size > kMaxDataSize) return false;
  if (g.max_frame == 0 || uint64_t{align4(g.max_frame)} * 2 > g.data_size) return false;
  const Layout l = layout_for(g.blocks, g.data_size);
  return g.block_table == l.block_table && g.slot_table == l.slot_table && g.data_ring == l.data_ring &&
         g.file_size == l.file_size && l.file_size == file_size;
}

View view_of(void* base) {
  auto* bytes = static_cast<uint8_t*>(base);
  auto* header = static_cast<shm_channel_header*>(base);
  return View{
      header,
      reinterpret_cast<uint32_t*>(bytes + load(header->block_table)),
      reinterpret_cast<shm_slot_state*>(bytes + load(header->slot_table)),
      reinterpret_cast<uint32_t*>(bytes + load(header->data_ring)),
      load(header->block_count),
      load(header->data_size),
      load(header->max_frame_size),
  };
}

void load_info(const View& v, uint32_t i, shm_blockinfo* out) {
  const uint32_t* src = v.block_words + size_t{i} * kInfoWords;
  auto* dst = reinterpret_cast<uint8_t*>(out);
  for (size_t w = 0; w < kInfoWords; ++w) {
    const uint32_t word = load(src[w]);
    std::memcpy(dst + w * 4, &word, 4);
  }
}

void store_info(const View& v, uint32_t i, const shm_blockinfo& in) {
  uint32_t* dst = v.block_words + size_t{i} * kInfoWords;
  const auto* src = reinterpret_cast<const uint8_t*>(&in);
  for (size_t w = 0; w < kInfoWords; ++w) {
    uint32_t word;
    std::memcpy(&word, src + w * 4, 4);
    store(dst[w], word);
  }
}

void copy_from_ring(const View& v, uint32_t offset, uint8_t* dst, uint32_t len) {
#if !defined(__SANITIZE_THREAD__)
  // A frame's bulk copy, as a sequence lock's reader makes it: the reader
  // discards a copy the producer overwrote (the data_limit check after the
  // fence pair), so the bytes may be moved many at a time. Word by word it
  // took a fifth of the stream thread's time on full-rate video.
  std::memcpy(dst, reinterpret_cast<const uint8_t*>(v.ring) + offset, len);
#else
  // ThreadSanitizer builds keep every shared access atomic: it would report
  // the race that the check handles.
  const uint32_t* src = v.ring + offset / 4;
  const uint32_t whole = len / 4;
  for (uint32_t w = 0; w < whole; ++w) {
    const uint32_t word = load(src[w]);
    std::memcpy(dst + size_t{w} * 4, &word, 4);
  }
  if (const uint32_t rest = len % 4; rest != 0) {
    const uint32_t word = load(src[whole]);
    std::memcpy(dst + size_t{whole} * 4, &word, rest);
  }
#endif
}

void copy_to_ring(const View& v, uint32_t offset, const uint8_t* src, uint32_t len) {
  uint32_t* dst = v.ring + offset / 4;
  const uint32_t whole = len / 4;
  for (uint32_t w = 0; w < whole; ++w) {
    uint32_t word;
    std::memcpy(&word, src + size_t{w} * 4, 4);
    store(dst[w], word);
  }
  if (const uint32_t rest = len % 4; rest != 0) {
    uint32_t word = 0;
    std::memcpy(&word, src + size_t{whole} * 4, rest);
    store(dst[whole], word);
  }
}

void futex_wait(const uint32_t* word, uint32_t expected, const timespec& timeout) {
  // Not FUTEX_PRIVATE: the word lives in a mapping shared between processes.
  futex_call(word, FUTEX_WAIT, expected, &timeout);
}

void futex_wake_all(uint32_t* word) { futex_call(word, FUTEX_WAKE, INT_MAX, nullptr); }

}  // namespace framestore::detail
