// The clip as the daemon sees it: the feeder's blocks (one NAL unit each)
// and, for every block, the sizes of the datagrams the daemon sends for it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "feed_plan.h"

namespace bench {

inline constexpr int kTailBytes = 8; // block ends kept to find the block of a received packet

struct clip_block {
  uint32_t size = 0;
  uint32_t first_packet = 0; // index into clip::packets
  uint32_t packet_count = 0;
  uint32_t first_packet6 = 0; // the same over IPv6
  uint32_t packet_count6 = 0;
  bool frame_start = false;
  uint8_t frame_type = 0;
  uint8_t nal_type = 0; // of the unit in the block
  uint8_t tail[kTailBytes] = {};
};

struct clip {
  std::string path;
  std::vector<uint8_t> input;
  feeder::FeedPlan plan;
  std::vector<clip_block> blocks;
  std::vector<uint16_t> packets; // UDP payload sizes in sending order
  std::vector<uint16_t> packets6; // the same over IPv6 (smaller room)
  uint64_t packet_bytes = 0;
  uint32_t largest_block = 0;
  uint64_t frames = 0;

  // The block's bytes as they go into the store.
  std::span<const uint8_t> block_bytes(size_t index, std::vector<uint8_t>& scratch) const;
};

// Reads and plans an H.264 Annex B file at MTU 1500, over IPv4 and IPv6;
// false with a message.
bool load_clip(const std::string& path, clip& out, std::string& error);

// The sizes file of floor_sender for every block: bit 15 first datagram of a
// frame, bit 14 last datagram of a unit, bits 0-13 the size.
bool write_sizes_file(const clip& c, const std::string& path, bool ipv6 = false);

} // namespace bench
