// Frame store: shared-memory media channels filled by producer processes.
// Reader side (shm_*) as the media sources use it, plus the producer side
// that our feeder and tests use. Every record that another process sees is
// a plain struct with its offsets fixed by static_asserts.
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
struct shm_channel_header {
  uint32_t codec;          // 0
  uint32_t reserved1[3];
  uint32_t woffset;        // 16: write offset in the data ring
  int32_t wp;              // 20: index of the newest block
  uint32_t reserved6;
  uint32_t max_frame_size; // 28
  // Store bookkeeping follows (see framestore implementation).
};
static_assert(offsetof(shm_channel_header, codec) == 0);
static_assert(offsetof(shm_channel_header, woffset) == 16);
static_assert(offsetof(shm_channel_header, wp) == 20);
static_assert(offsetof(shm_channel_header, max_frame_size) == 28);

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
  // Library-private reader state (mapping and position bookkeeping).
  void* mapping;
  size_t mapping_size;
  uint64_t next_seq; // sequence number of the block the reader expects at rp
};

// Reader operations. Results below 0 are failures with errno set.
int shm_attach(const char* name, int number, shm_handle* handle);
int shm_detach(shm_handle* handle);
// Non-zero when the reader has fallen behind and block rp must not be read.
int shm_check_read_delay(shm_handle* handle, int rp);
// Wait (bounded) for block *rp, copy its frame (at most dst_size bytes) and its
// block info, advance *rp. Returns the byte count (> 0); 0 or less on failure.
int shm_read_data_blockinfo(void* dst, int dst_size, shm_blockinfo* info, shm_handle* handle, int* rp,
                            int flags);
// The same for the newest block; -4 once the producer has destroyed the store.
int shm_read_recent_data_blockinfo(void* dst, int dst_size, shm_blockinfo* info, shm_handle* handle,
                                   int* rp, int flags);
inline constexpr int kShmDestroyed = -4;
