// Internals shared by the reader and the producer side of the frame store:
// the file layout, whole-word atomic access to the shared mapping, the data
// ring copies and the futex calls.
//
// Memory ordering (the same on ARM as on x86): the producer announces bytes
// it is about to overwrite (data_limit, or an odd slot seq) with a relaxed
// store followed by a release fence, then writes. A reader loads what it
// needs, issues an acquire fence and loads the announcement again; if any of
// its loads saw a byte written after the producer's fence, the fence pair
// guarantees it also sees the announcement, so a torn copy is always caught.
// All shared words are accessed as relaxed 32-bit atomics; the one exception
// is a reader's bulk copy of frame bytes (copy_from_ring), which the check
// after it discards when the producer raced it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/framestore.h"

namespace framestore::detail {

inline constexpr uint32_t kMinBlocks = 2;
inline constexpr uint32_t kMaxBlocks = 1u << 16;
inline constexpr uint32_t kMaxDataSize = 1u << 30;
inline constexpr size_t kBlockTableOffset = sizeof(shm_channel_header);
inline constexpr size_t kPage = 4096;

constexpr uint32_t align4(uint32_t n) { return (n + 3u) & ~3u; }
constexpr size_t align_up(size_t n, size_t a) { return (n + a - 1) / a * a; }

struct Layout {
  uint32_t block_table;
  uint32_t slot_table;
  uint32_t data_ring;
  uint32_t file_size;
};

// The file layout of a store with n blocks and a data ring of d bytes.
// Callers check the limits above first, so nothing overflows 32 bits.
constexpr Layout layout_for(uint32_t n, uint32_t d) {
  const size_t blocks = kBlockTableOffset;
  const size_t slots = align_up(blocks + size_t{n} * sizeof(shm_blockinfo), 64);
  const size_t ring = align_up(slots + size_t{n} * sizeof(shm_slot_state), kPage);
  return Layout{static_cast<uint32_t>(blocks), static_cast<uint32_t>(slots),
                static_cast<uint32_t>(ring), static_cast<uint32_t>(ring + d)};
}

// A store's geometry as its header states it.
struct Geometry {
  uint32_t blocks;
  uint32_t data_size;
  uint32_t max_frame;
  uint32_t block_table;
  uint32_t slot_table;
  uint32_t data_ring;
  uint32_t file_size;
};
Geometry geometry_of(const shm_channel_header& h);

// The checks that every user of a store applies to its header: the geometry
// is sane and the tables lie where layout_for puts them inside the file.
bool geometry_is_consistent(const Geometry& g, size_t file_size);
inline bool header_is_consistent(const shm_channel_header& h, size_t file_size) {
  return geometry_is_consistent(geometry_of(h), file_size);
}

// The fences of the scheme above. ThreadSanitizer does not model fences and
// warns about them; every shared access is atomic, so it has nothing else to
// report here.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
inline void acquire_fence() { std::atomic_thread_fence(std::memory_order_acquire); }
inline void release_fence() { std::atomic_thread_fence(std::memory_order_release); }
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic pop
#endif

inline uint32_t load(const uint32_t& word, std::memory_order order = std::memory_order_relaxed) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(word)).load(order);
}
inline void store(uint32_t& word, uint32_t value, std::memory_order order = std::memory_order_relaxed) {
  std::atomic_ref<uint32_t>(word).store(value, order);
}
inline int32_t load_i32(const int32_t& word) {
  return std::atomic_ref<int32_t>(const_cast<int32_t&>(word)).load(std::memory_order_relaxed);
}
inline void store_i32(int32_t& word, int32_t value) {
  std::atomic_ref<int32_t>(word).store(value, std::memory_order_relaxed);
}

// Typed views of a mapped store; the header fields they use never change
// after the store was created.
struct View {
  shm_channel_header* header;
  uint32_t* block_words;  // block table as 32-bit words
  shm_slot_state* slots;
  uint32_t* ring;         // data ring as 32-bit words
  uint32_t blocks;
  uint32_t data_size;
  uint32_t max_frame;
};
View view_of(void* base);

inline constexpr size_t kInfoWords = sizeof(shm_blockinfo) / 4;
static_assert(sizeof(shm_blockinfo) % 4 == 0);

// Block info of block i, copied word by word (relaxed).
void load_info(const View& v, uint32_t i, shm_blockinfo* out);
void store_info(const View& v, uint32_t i, const shm_blockinfo& in);

// Copies len bytes starting at ring offset `offset` (a multiple of 4, no
// wrap) out of or into the ring. A trailing partial word is padded with
// zeros when writing.
void copy_from_ring(const View& v, uint32_t offset, uint8_t* dst, uint32_t len);
void copy_to_ring(const View& v, uint32_t offset, const uint8_t* src, uint32_t len);

// Process-shared futex on a word of the mapping. wait: returns when the word
// differs from `expected`, on a wake, a signal or after `timeout`.
void futex_wait(const uint32_t* word, uint32_t expected, const timespec& timeout);
void futex_wake_all(uint32_t* word);

}  // namespace framestore::detail
