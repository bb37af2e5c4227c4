// Producer side of the frame store: creates a store file, publishes frames
// into its ring without ever waiting for readers, and marks it destroyed.
#pragma once

#include <cstdint>
#include <span>

#include "platform/framestore.h"

namespace framestore {

struct StoreGeometry {
  uint32_t block_count = 256;           // at least 2
  uint32_t data_size = 8u << 20;        // rounded up to a multiple of 4
  uint32_t max_frame_size = 1u << 20;   // data_size must be at least twice this
};

// Owns the producer's mapping of one store. Only one producer may own a store
// at a time (an exclusive flock on the file); the store outlives the object,
// so destroy() must be called explicitly to tell readers that it is gone.
class Producer {
 public:
  Producer() = default;
  ~Producer();
  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;

  // Opens the store at `path`: reuses an existing store of the same geometry
  // and number in place (block numbering goes on, so attached readers keep
  // reading; the codec word is set and the destroyed mark cleared), else
  // writes a new file and renames it over `path` (a previous store there is
  // marked destroyed first). 0, or -1 with errno (EBUSY when another producer
  // owns the store, EINVAL for a bad geometry).
  int open(const char* path, int number, uint32_t codec, const StoreGeometry& geometry);

  // Appends one frame (1..max_frame_size bytes) as the next block. The fields
  // roffset, len_a and len_b of `info` are the store's; the rest is copied.
  // 0, or -1 with errno (EMSGSIZE, EINVAL, EBADF when not open).
  int publish(std::span<const uint8_t> frame, const shm_blockinfo& info);

  // Changes the codec word seen by readers.
  void set_codec(uint32_t codec);
  // Marks the store destroyed and wakes every waiting reader. The file stays.
  void destroy();
  // Unmaps and releases ownership without marking the store destroyed.
  void close();

  bool is_open() const { return base_ != nullptr; }
  uint32_t published() const;
  const shm_channel_header* header() const { return header_; }

 private:
  int adopt(int fd, void* base, size_t size);

  int fd_ = -1;
  void* base_ = nullptr;
  size_t size_ = 0;
  shm_channel_header* header_ = nullptr;
};

}  // namespace framestore
