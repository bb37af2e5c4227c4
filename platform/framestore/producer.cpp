// Producer side of the frame store. The producer is the only writer: it
// announces what it is about to overwrite, writes, and publishes, and never
// looks at readers.
#include "platform/framestore_producer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "store_layout.h"

namespace framestore {

using namespace detail;

namespace {

// Closes a descriptor on every early return.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool geometry_valid(const StoreGeometry& g) {
  return g.block_count >= kMinBlocks && g.block_count <= kMaxBlocks && g.max_frame_size > 0 &&
         g.data_size > 0 && g.data_size <= kMaxDataSize &&
         uint64_t{align4(g.max_frame_size)} * 2 <= align4(g.data_size);
}

bool same_geometry(const shm_channel_header& h, int number, const StoreGeometry& g) {
  return load_i32(h.number) == number && load(h.block_count) == g.block_count &&
         load(h.data_size) == align4(g.data_size) && load(h.max_frame_size) == g.max_frame_size;
}

void bump_notify(shm_channel_header* h) {
  std::atomic_ref<uint32_t>(h->notify).fetch_add(1, std::memory_order_release);
  futex_wake_all(&h->notify);
}

void mark_destroyed(shm_channel_header* h) {
  store(h->state, kShmStateDestroyed, std::memory_order_release);
  bump_notify(h);
}

// Maps an existing file of a store; nullptr when it is not one.
void* map_store(int fd, size_t* size) {
  struct stat st{};
  if (fstat(fd, &st) < 0 || static_cast<size_t>(st.st_size) < sizeof(shm_channel_header)) return nullptr;
  void* base = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return nullptr;
  const auto* h = static_cast<const shm_channel_header*>(base);
  if (load(h->magic, std::memory_order_acquire) != kShmMagic || load(h->version) != kShmVersion ||
      !header_is_consistent(*h, static_cast<size_t>(st.st_size))) {
    munmap(base, static_cast<size_t>(st.st_size));
    return nullptr;
  }
  *size = static_cast<size_t>(st.st_size);
  return base;
}

// A producer that died inside a publication left that block's seqlock odd;
// even it out so that the next rewrite keeps the parity right.
void repair_slots(const View& v) {
  for (uint32_t i = 0; i < v.blocks; ++i) {
    const uint32_t seq = load(v.slots[i].seq);
    if (seq & 1u) store(v.slots[i].seq, seq + 1 == 0 ? 2 : seq + 1, std::memory_order_release);
  }
}

void init_header(shm_channel_header* h, int number, uint32_t codec, const StoreGeometry& g,
                 const Layout& l) {
  *h = shm_channel_header{};
  h->codec = codec;
  h->max_frame_size = g.max_frame_size;
  h->version = kShmVersion;
  h->number = number;
  h->block_count = g.block_count;
  h->data_size = align4(g.data_size);
  h->state = kShmStateLive;
  h->block_table = l.block_table;
  h->slot_table = l.slot_table;
  h->data_ring = l.data_ring;
  h->file_size = l.file_size;
  h->producer_pid = static_cast<int32_t>(getpid());
  // Last, so that nothing ever sees a half-made header as a store.
  store(h->magic, kShmMagic, std::memory_order_release);
}

}  // namespace

Producer::~Producer() { close(); }

int Producer::open(const char* path, int number, uint32_t codec, const StoreGeometry& geometry) {
  if (is_open() || path == nullptr || !geometry_valid(geometry)) {
    errno = EINVAL;
    return -1;
  }
  // Never write through a link planted at the store's name.
  Fd old(::open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (old.get() >= 0) {
    if (flock(old.get(), LOCK_EX | LOCK_NB) < 0) {
      errno = EBUSY;
      return -1;
    }
    size_t size = 0;
    if (void* base = map_store(old.get(), &size)) {
      auto* h = static_cast<shm_channel_header*>(base);
      if (same_geometry(*h, number, geometry)) {
        repair_slots(view_of(base));
        store(h->codec, codec, std::memory_order_release);
        store_i32(h->producer_pid, static_cast<int32_t>(getpid()));
        store(h->state, kShmStateLive, std::memory_order_release);
        bump_notify(h);
        return adopt(old.release(), base, size);
      }
      // Readers of the old store learn that it is gone; new ones attach
      // to the file that replaces it.
      mark_destroyed(h);
      munmap(base, size);
    }
  } else if (errno != ENOENT && errno != ELOOP) {
    // A link in the store's place is no failure: the rename below replaces
    // the link itself.
    return -1;
  }

  std::string temp = std::string(path) + ".new.XXXXXX";
  Fd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) return -1;
  const Layout layout = layout_for(geometry.block_count, align4(geometry.data_size));
  void* base = MAP_FAILED;
  if (fchmod(fd.get(), 0644) == 0 && ftruncate(fd.get(), layout.file_size) == 0 &&
      flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    base = mmap(nullptr, layout.file_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  }
  if (base == MAP_FAILED) {
    const int saved = errno;
    unlink(temp.c_str());
    errno = saved;
    return -1;
  }
  init_header(static_cast<shm_channel_header*>(base), number, codec, geometry, layout);
  if (rename(temp.c_str(), path) < 0) {
    const int saved = errno;
    munmap(base, layout.file_size);
    unlink(temp.c_str());
    errno = saved;
    return -1;
  }
  return adopt(fd.release(), base, layout.file_size);
}

int Producer::adopt(int fd, void* base, size_t size) {
  fd_ = fd;
  base_ = base;
  size_ = size;
  header_ = static_cast<shm_channel_header*>(base);
  return 0;
}

int Producer::publish(std::span<const uint8_t> frame, const shm_blockinfo& info) {
  if (!is_open()) {
    errno = EBADF;
    return -1;
  }
  const View v = view_of(base_);
  if (frame.empty()) {
    errno = EINVAL;
    return -1;
  }
  if (frame.size() > v.max_frame) {
    errno = EMSGSIZE;
    return -1;
  }
  shm_channel_header* h = header_;
  const auto len = static_cast<uint32_t>(frame.size());
  const uint32_t number = load(h->published);
  const auto newest = static_cast<uint32_t>(load_i32(h->wp));
  // An empty store starts at index wp itself (0).
  const uint32_t index = load(v.slots[newest].seq) == 0 ? newest : (newest + 1) % v.blocks;

  uint32_t offset = load(h->woffset);
  if (offset >= v.data_size) offset = 0;
  const uint32_t len_a = std::min(len, v.data_size - offset);
  const uint32_t len_b = len - len_a;
  // Ring bytes consumed: the part up to the end (a multiple of 4 when it
  // wraps), then the wrapped part, each padded to whole words.
  const uint32_t used = len_b == 0 ? align4(len_a) : len_a + align4(len_b);
  const uint32_t data_start = load(h->data_limit);

  // Announce the bytes about to be overwritten before touching them.
  store(h->data_limit, data_start + used);
  release_fence();
  copy_to_ring(v, offset, frame.data(), len_a);
  copy_to_ring(v, 0, frame.data() + len_a, len_b);

  shm_slot_state& slot = v.slots[index];
  const uint32_t seq = load(slot.seq);
  store(slot.seq, seq + 1);
  release_fence();
  shm_blockinfo stored = info;
  stored.roffset = offset;
  stored.len_a = len_a;
  stored.len_b = len_b;
  store_info(v, index, stored);
  store(slot.number, number);
  store(slot.data_start, data_start);
  // 0 means "never written", so a wrapping sequence skips it.
  const uint32_t next_seq = seq + 2 == 0 ? 2 : seq + 2;
  store(slot.seq, next_seq, std::memory_order_release);

  store(h->woffset, (offset + used) % v.data_size);
  store_i32(h->wp, static_cast<int32_t>(index));
  store(h->published, number + 1, std::memory_order_release);
  bump_notify(h);
  return 0;
}

void Producer::set_codec(uint32_t codec) {
  if (is_open()) store(header_->codec, codec, std::memory_order_release);
}

void Producer::destroy() {
  if (is_open()) mark_destroyed(header_);
}

void Producer::close() {
  if (base_ != nullptr) munmap(base_, size_);
  if (fd_ >= 0) ::close(fd_);  // also drops the flock
  fd_ = -1;
  base_ = nullptr;
  size_ = 0;
  header_ = nullptr;
}

uint32_t Producer::published() const { return is_open() ? load(header_->published) : 0; }

}  // namespace framestore
