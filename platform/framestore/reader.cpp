// Reader side of the frame store (shm_*).
//
// A reader tracks the global number of the block it expects at rp (its
// cursor). Reading waits on the header's futex word until that block is
// published, copies it under the block's seqlock and checks afterwards that
// neither the block nor its data was overwritten meanwhile.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/framestore.h"
#include "store_layout.h"

using namespace framestore::detail;

namespace {

// A block is being rewritten for a few microseconds at most; a reader that
// needs its number yields this many times before it gives up.
constexpr int kSlotRetries = 1000;
// Upper bound on wake-ups handled within one read's wait.
constexpr int kMaxWakeups = 100000;

struct SlotSnapshot {
  uint32_t seq;
  uint32_t number;
  uint32_t data_start;
};

// One consistent look at block i (and its info when `info` is given);
// false when the producer was rewriting it.
bool snapshot_slot(const View& v, uint32_t i, SlotSnapshot* out, shm_blockinfo* info) {
  const shm_slot_state& slot = v.slots[i];
  const uint32_t before = load(slot.seq, std::memory_order_acquire);
  if (before & 1u) return false;
  out->seq = before;
  out->number = load(slot.number);
  out->data_start = load(slot.data_start);
  if (info != nullptr) load_info(v, i, info);
  acquire_fence();
  return load(slot.seq) == before;
}

bool snapshot_slot_retrying(const View& v, uint32_t i, SlotSnapshot* out) {
  for (int attempt = 0; attempt < kSlotRetries; ++attempt) {
    if (snapshot_slot(v, i, out, nullptr)) return true;
    sched_yield();
  }
  return false;
}

bool handle_usable(const shm_handle* h) {
  return h != nullptr && h->mapping != nullptr && h->header != nullptr;
}

// The reader's view from the geometry taken at attach, never from the live
// header.
View reader_view(const shm_handle& h) {
  auto* bytes = static_cast<uint8_t*>(h.mapping);
  return View{h.header,
              reinterpret_cast<uint32_t*>(bytes + kBlockTableOffset),
              reinterpret_cast<shm_slot_state*>(bytes + h.slot_table),
              reinterpret_cast<uint32_t*>(bytes + h.data_ring),
              h.block_count,
              h.data_size,
              h.max_frame};
}

bool geometry_unchanged(const shm_handle& h) {
  const Geometry live = geometry_of(*h.header);
  return live.blocks == h.block_count && live.data_size == h.data_size && live.max_frame == h.max_frame &&
         live.block_table == kBlockTableOffset && live.slot_table == h.slot_table &&
         live.data_ring == h.data_ring && live.file_size == h.file_size;
}

// The header changed under the reader: the store is attached again when it
// is consistent now, else the old mapping stays (and keeps failing reads).
void reattach(shm_handle* h) {
  shm_handle fresh{};
  if (shm_attach(h->name, h->number, &fresh) != 0) return;
  munmap(h->mapping, h->mapping_size);
  *h = fresh;
}

bool index_in_ring(const View& v, int rp) { return rp >= 0 && static_cast<uint32_t>(rp) < v.blocks; }

// The global number of the block the reader means by rp: its cursor when rp
// is where the cursor points, else the block now stored at rp (a jump such
// as rp = wp). A block never written yet is still in the first lap, where
// block k goes to index k.
uint32_t expected_number(const shm_handle& h, const View& v, int rp) {
  if (h.cursor_valid != 0 && rp == h.next_index) return h.next_number;
  SlotSnapshot snap{};
  if (snapshot_slot_retrying(v, static_cast<uint32_t>(rp), &snap)) {
    return snap.seq == 0 ? static_cast<uint32_t>(rp) : snap.number;
  }
  // Still being rewritten: it is the block being published now.
  return load(v.header->published, std::memory_order_acquire);
}

int32_t blocks_behind(uint32_t published, uint32_t number) {
  return static_cast<int32_t>(published - number);
}

timespec monotonic_now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

long long ns_between(const timespec& from, const timespec& to) {
  return (to.tv_sec - from.tv_sec) * 1'000'000'000LL + (to.tv_nsec - from.tv_nsec);
}

// Waits until block `number` is published. 1 when it is, 0 on time-out,
// kShmDestroyed when the store is destroyed before it came.
int wait_for_block(const View& v, uint32_t number) {
  const timespec start = monotonic_now();
  constexpr long long kWaitNs = kShmReadWaitMs * 1'000'000LL;
  for (int i = 0; i < kMaxWakeups; ++i) {
    // Take the futex value first: a publication after this load changes it,
    // so the wait below cannot miss it.
    const uint32_t seen = load(v.header->notify, std::memory_order_acquire);
    const uint32_t published = load(v.header->published, std::memory_order_acquire);
    if (blocks_behind(published, number) > 0) return 1;
    if (load(v.header->state, std::memory_order_acquire) == kShmStateDestroyed) return kShmDestroyed;
    const long long left = kWaitNs - ns_between(start, monotonic_now());
    if (left <= 0) return 0;
    const timespec timeout{static_cast<time_t>(left / 1'000'000'000LL),
                           static_cast<long>(left % 1'000'000'000LL)};
    futex_wait(&v.header->notify, seen, timeout);
  }
  return 0;
}

bool info_fits_ring(const View& v, const shm_blockinfo& info) {
  const uint64_t total = uint64_t{info.len_a} + info.len_b;
  if (total == 0 || total > v.max_frame) return false;
  if (info.roffset >= v.data_size || info.roffset % 4 != 0) return false;
  if (info.len_a > v.data_size - info.roffset) return false;
  // Wrapped bytes only exist when the first part reaches the ring's end.
  return info.len_b == 0 || info.roffset + info.len_a == v.data_size;
}

int read_block(void* dst, int dst_size, shm_blockinfo* info, shm_handle* h, int* rp, bool recent) {
  if (!handle_usable(h) || dst == nullptr || dst_size <= 0 || info == nullptr || rp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (!geometry_unchanged(*h)) {
    reattach(h);
    errno = ESTALE;
    return -1;
  }
  const View v = reader_view(*h);
  if (recent) {
    if (load(v.header->state, std::memory_order_acquire) == kShmStateDestroyed) {
      errno = EIDRM;
      return kShmDestroyed;
    }
    *rp = load_i32(v.header->wp);
    h->cursor_valid = 0;
  }
  if (!index_in_ring(v, *rp)) {
    errno = EINVAL;
    return -1;
  }
  const auto index = static_cast<uint32_t>(*rp);
  const uint32_t number = expected_number(*h, v, *rp);

  const int waited = wait_for_block(v, number);
  if (waited == 0) {
    errno = ETIMEDOUT;
    return 0;
  }
  if (waited == kShmDestroyed) {
    errno = EIDRM;
    return kShmDestroyed;
  }

  shm_blockinfo local;
  SlotSnapshot snap{};
  if (!snapshot_slot(v, index, &snap, &local) || snap.seq == 0 || snap.number != number) {
    errno = ESTALE;  // lapped: the block at rp is a later one by now
    return -1;
  }
  if (!info_fits_ring(v, local)) {
    errno = EIO;
    return -1;
  }
  const uint32_t total = local.len_a + local.len_b;
  const uint32_t wanted = std::min(total, static_cast<uint32_t>(dst_size));
  auto* out = static_cast<uint8_t*>(dst);
  const uint32_t first = std::min(wanted, local.len_a);
  copy_from_ring(v, local.roffset, out, first);
  copy_from_ring(v, 0, out + first, wanted - first);

  acquire_fence();
  const uint32_t limit = load(v.header->data_limit);
  if (limit - snap.data_start > v.data_size) {
    errno = ESTALE;  // the producer wrapped onto the frame while it was copied
    return -1;
  }

  std::memcpy(info, &local, sizeof local);
  *rp = static_cast<int>((index + 1) % v.blocks);
  h->next_index = *rp;
  h->next_number = number + 1;
  h->cursor_valid = 1;
  return static_cast<int>(wanted);
}

}  // namespace

int shm_attach(const char* name, int number, shm_handle* handle) {
  if (name == nullptr || handle == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // Stores live in directories everyone may write to: a link planted at the
  // name is not followed, and a FIFO there neither blocks nor maps.
  const int fd = ::open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st{};
  if (fstat(fd, &st) < 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  if (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) < sizeof(shm_channel_header)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  const auto size = static_cast<size_t>(st.st_size);
  void* base = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  const int map_errno = errno;
  ::close(fd);
  if (base == MAP_FAILED) {
    errno = map_errno;
    return -1;
  }
  const auto* header = static_cast<const shm_channel_header*>(base);
  // The geometry is read once, here, and checked against the mapping's size;
  // reads use this copy only.
  const Geometry g = geometry_of(*header);
  int failure = 0;
  if (load(header->magic, std::memory_order_acquire) != kShmMagic || load(header->version) != kShmVersion ||
      !geometry_is_consistent(g, size)) {
    failure = EINVAL;
  } else if (load_i32(header->number) != number) {
    failure = ENXIO;
  }
  if (failure != 0) {
    munmap(base, size);
    errno = failure;
    return -1;
  }
  *handle = shm_handle{};
  handle->id = static_cast<uint32_t>(number);
  handle->header = static_cast<shm_channel_header*>(base);
  handle->blocks = reinterpret_cast<shm_blockinfo*>(static_cast<uint8_t*>(base) + kBlockTableOffset);
  handle->mapping = base;
  handle->mapping_size = size;
  handle->block_count = g.blocks;
  handle->data_size = g.data_size;
  handle->max_frame = g.max_frame;
  handle->slot_table = g.slot_table;
  handle->data_ring = g.data_ring;
  handle->file_size = g.file_size;
  std::snprintf(handle->name, sizeof handle->name, "%s", name);
  handle->number = number;
  return 0;
}

int shm_detach(shm_handle* handle) {
  if (!handle_usable(handle)) {
    errno = EINVAL;
    return -1;
  }
  const int result = munmap(handle->mapping, handle->mapping_size);
  const uint32_t id = handle->id;
  *handle = shm_handle{};
  handle->id = id;  // still printed in the caller's messages
  return result;
}

int shm_check_read_delay(shm_handle* handle, int rp) {
  if (!handle_usable(handle)) return 1;
  // A changed header: the next read fails and attaches again.
  if (!geometry_unchanged(*handle)) return 1;
  const View v = reader_view(*handle);
  if (!index_in_ring(v, rp)) return 1;
  const uint32_t number = expected_number(*handle, v, rp);
  const uint32_t published = load(v.header->published, std::memory_order_acquire);
  const int32_t behind = blocks_behind(published, number);
  if (behind <= 0) return 0;  // not published yet: nothing to lose

  const uint32_t margin = std::max<uint32_t>(1, v.blocks / 8);
  bool delayed = behind > static_cast<int32_t>(v.blocks - margin);
  if (!delayed) {
    SlotSnapshot snap{};
    if (!snapshot_slot_retrying(v, static_cast<uint32_t>(rp), &snap) || snap.seq == 0 ||
        snap.number != number) {
      delayed = true;
    } else {
      const uint32_t limit = load(v.header->data_limit, std::memory_order_acquire);
      delayed = limit - snap.data_start > v.data_size - align4(v.max_frame);
    }
  }
  // The caller moves to wp next; its cursor no longer says where it is.
  if (delayed) handle->cursor_valid = 0;
  return delayed ? 1 : 0;
}

int shm_read_data_blockinfo(void* dst, int dst_size, shm_blockinfo* info, shm_handle* handle, int* rp,
                            int /*flags*/) {
  return read_block(dst, dst_size, info, handle, rp, false);
}

int shm_read_recent_data_blockinfo(void* dst, int dst_size, shm_blockinfo* info, shm_handle* handle,
                                   int* rp, int /*flags*/) {
  return read_block(dst, dst_size, info, handle, rp, true);
}
