// Frame store: shared-memory media channels filled by producer processes.
// Reader side (shm_*) as the media sources use it; the producer side that our
// feeder and tests use is in platform/framestore_producer.h. Every record that
// another process sees is a plain struct with its offsets fixed by
// static_asserts.
//
// A store is one file on tmpfs, mapped shared:
//   [channel header][block table: block_count x shm_blockinfo]
//   [slot table: block_count x shm_slot_state][data ring: data_size bytes]
// The producer fills the ring of blocks in order and never waits for
// readers. Each block's slot carries a sequence word (a per-block seqlock) and
// the block's global number; the header carries the count of published
// blocks and a byte counter of the data ring, so that a reader can tell a
// block that was overwritten (or is being overwritten) from one it may use.
#pragma once

#include <cstddef>
#include <cstdint>

// One configuration entry: a 128-byte name and a number, both handed to
// shm_attach.
struct shm_conf_entry {
  char name[128];
  int32_t number;
};
static_assert(sizeof(shm_conf_entry) == 132);
static_assert(offsetof(shm_conf_entry, number) == 128);

extern shm_conf_entry shm_chan_conf[4];   // video channels 0..3
extern shm_conf_entry audio_chan_conf[2]; // audio channels

// The playback store written by the recorder's SD playback.
inline constexpr char kPlaybackStoreName[] = "/tmp/shm9";
inline constexpr int kPlaybackStoreNumber = 122;

// Codec numbers in the channel header.
inline constexpr uint32_t kCodecH264 = 1;
inline constexpr uint32_t kCodecJpeg = 2;
inline constexpr uint32_t kCodecMpeg4 = 3;
inline constexpr uint32_t kCodecUlaw = 4; // the audio source ignores the codec

// Per-block description, 328 bytes. Only the named fields are meaningful to
// the readers; the rest is reserved.
struct shm_blockinfo {
  uint8_t reserved0[23];
  uint8_t frame_type;        // 23: 8 H.264 key frame; 15/12 MPEG-4 I-VOP
  uint8_t reserved1[248];
  uint8_t frame_rate_code;   // 272: frames/s; 64 = 7.5, 254 = 0.5 (JPEG)
  uint8_t reserved2[11];
  uint16_t quality;          // 284: JPEG Q
  uint8_t reserved3[10];
  uint16_t fallback_width;   // 296
  uint16_t fallback_height;  // 298
  uint8_t reserved4[4];
  uint16_t width;            // 304, used when non-zero
  uint16_t height;           // 306
  uint32_t timestamp;        // 308
  uint32_t roffset;          // 312: offset of the frame in the data ring
  uint32_t len_a;            // 316: bytes from roffset up to the ring end
  uint32_t reserved5;        // 320
  uint32_t len_b;            // 324: bytes wrapped to the ring start
};
static_assert(sizeof(shm_blockinfo) == 328);
static_assert(alignof(shm_blockinfo) == 4);
static_assert(offsetof(shm_blockinfo, frame_type) == 23);
static_assert(offsetof(shm_blockinfo, frame_rate_code) == 272);
static_assert(offsetof(shm_blockinfo, quality) == 284);
static_assert(offsetof(shm_blockinfo, fallback_width) == 296);
static_assert(offsetof(shm_blockinfo, fallback_height) == 298);
static_assert(offsetof(shm_blockinfo, width) == 304);
static_assert(offsetof(shm_blockinfo, height) == 306);
static_assert(offsetof(shm_blockinfo, timestamp) == 308);
static_assert(offsetof(shm_blockinfo, roffset) == 312);
static_assert(offsetof(shm_blockinfo, len_a) == 316);
static_assert(offsetof(shm_blockinfo, len_b) == 324);

// Channel header at the start of the shared mapping. Offsets 0, 16, 20 and
// 28 are what the readers rely on; the fields after them belong to the store.
// Words that change while readers are attached (woffset, wp, published,
// data_limit, notify, state, codec) are written and read as whole 32-bit
// atomics.
struct shm_channel_header {
  uint32_t codec;          // 0
  uint32_t reserved1[3];
  uint32_t woffset;        // 16: ring offset where the next frame goes
  int32_t wp;              // 20: index of the newest block (0 while empty)
  uint32_t reserved6;
  uint32_t max_frame_size; // 28
  // Store bookkeeping.
  uint32_t magic;          // 32: kShmMagic
  uint32_t version;        // 36: kShmVersion
  int32_t number;          // 40: the configuration number, checked by attach
  uint32_t block_count;    // 44: blocks in the ring
  uint32_t data_size;      // 48: bytes in the data ring (a multiple of 4)
  uint32_t state;          // 52: kShmStateLive or kShmStateDestroyed
  uint32_t notify;         // 56: futex word, bumped on every publication and on destroy
  uint32_t published;      // 60: blocks published so far (wraps at 2^32)
  uint32_t data_limit;     // 64: data-ring byte counter up to which bytes are (being) written
  uint32_t block_table;    // 68: file offset of the block table
  uint32_t slot_table;     // 72: file offset of the slot table
  uint32_t data_ring;      // 76: file offset of the data ring
  uint32_t file_size;      // 80
  int32_t producer_pid;    // 84: last producer, for diagnostics
  uint32_t reserved7[10];  // 88..127
};
static_assert(sizeof(shm_channel_header) == 128);
static_assert(offsetof(shm_channel_header, codec) == 0);
static_assert(offsetof(shm_channel_header, woffset) == 16);
static_assert(offsetof(shm_channel_header, wp) == 20);
static_assert(offsetof(shm_channel_header, max_frame_size) == 28);
static_assert(offsetof(shm_channel_header, magic) == 32);
static_assert(offsetof(shm_channel_header, number) == 40);
static_assert(offsetof(shm_channel_header, block_count) == 44);
static_assert(offsetof(shm_channel_header, data_size) == 48);
static_assert(offsetof(shm_channel_header, state) == 52);
static_assert(offsetof(shm_channel_header, notify) == 56);
static_assert(offsetof(shm_channel_header, published) == 60);
static_assert(offsetof(shm_channel_header, data_limit) == 64);
static_assert(offsetof(shm_channel_header, block_table) == 68);
static_assert(offsetof(shm_channel_header, slot_table) == 72);
static_assert(offsetof(shm_channel_header, data_ring) == 76);
static_assert(offsetof(shm_channel_header, file_size) == 80);
static_assert(offsetof(shm_channel_header, producer_pid) == 84);

inline constexpr uint32_t kShmMagic = 0x53465641;  // "AVFS" little-endian
inline constexpr uint32_t kShmVersion = 1;
inline constexpr uint32_t kShmStateLive = 1;
inline constexpr uint32_t kShmStateDestroyed = 2;

// Per-block store state, one per block, beside the block table. `seq` is the
// block's seqlock: odd while the producer rewrites the block, even otherwise,
// 0 when the block was never written. `number` is the block's global number
// (the count of blocks published before it) and `data_start` the data-ring
// byte counter at the block's first byte.
struct shm_slot_state {
  uint32_t seq;
  uint32_t number;
  uint32_t data_start;
  uint32_t reserved;
};
static_assert(sizeof(shm_slot_state) == 16);
static_assert(offsetof(shm_slot_state, number) == 4);
static_assert(offsetof(shm_slot_state, data_start) == 8);

// Reader's handle, filled by shm_attach. The sources use `id` (messages),
// `header` and `blocks`; the other words are the library's own.
struct shm_handle {
  uint32_t id;
  uint32_t reserved1;
  uint32_t reserved2;
  shm_channel_header* header;
  uint32_t reserved4;
  shm_blockinfo* blocks;
  uint32_t reserved6;
  // Library-private reader state.
  void* mapping;
  size_t mapping_size;
  // The reader's cursor: the global number of the block it expects next and
  // that block's index. Valid only while cursor_valid is non-zero and the
  // caller's rp equals next_index; otherwise the store works out the number
  // from the block at rp.
  uint32_t next_number;
  int32_t next_index;
  uint32_t cursor_valid;
  // The store's geometry, taken once at attach and checked against the
  // mapping then: a producer that later changes the header in place cannot
  // make a read leave the mapping. `block_count` may be read by callers.
  uint32_t block_count;
  uint32_t data_size;
  uint32_t max_frame;
  uint32_t slot_table;
  uint32_t data_ring;
  uint32_t file_size;
  // What was attached, for attaching again when the header no longer matches.
  char name[128];
  int32_t number;
};

// Reader operations. Results below 0 are failures with errno set.
//
// shm_attach: maps the store file `name` read-only. ENOENT when the file is
// missing, EINVAL when it is not a store, ENXIO when its number is not
// `number`. The handle's id is the number.
int shm_attach(const char* name, int number, shm_handle* handle);
int shm_detach(shm_handle* handle);
// Non-zero when the reader has fallen behind and block rp must not be read:
// the block was overwritten or is being overwritten, or the producer is
// within one eighth of the ring (at least one block) of overwriting it, or
// within one maximum-size frame of overwriting its data. An rp outside the
// ring counts as delayed too. After a non-zero answer the reader is expected
// to move rp to wp.
int shm_check_read_delay(shm_handle* handle, int rp);
// Wait for block *rp (at most kShmReadWaitMs), copy its frame (at most
// dst_size bytes) and its block info, advance *rp. Returns the byte count
// copied (> 0). 0 when no block came within the wait (errno ETIMEDOUT);
// -1 when the block was overwritten before or while it was copied (errno
// ESTALE; rp stays, so that shm_check_read_delay reports the delay) or the
// arguments are bad (EINVAL); kShmDestroyed when the store is destroyed and
// the block will never come. A header whose geometry no longer matches the
// one taken at attach is a failed read too (-1, ESTALE): the handle is then
// attached again when the store is consistent. `flags` is reserved (pass 0).
int shm_read_data_blockinfo(void* dst, int dst_size, shm_blockinfo* info, shm_handle* handle, int* rp,
                            int flags);
// The same for the newest block: sets *rp to wp first, then reads as above
// (waiting for the first block of an empty store). kShmDestroyed once the
// producer has destroyed the store.
int shm_read_recent_data_blockinfo(void* dst, int dst_size, shm_blockinfo* info, shm_handle* handle,
                                   int* rp, int flags);
inline constexpr int kShmDestroyed = -4;
inline constexpr int kShmReadWaitMs = 1000;
