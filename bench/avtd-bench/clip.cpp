#include "clip.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "h264_units.h"
#include "stream/rtp_thread.h"
#include "stream/send_rtp.h"

namespace bench {

namespace {

constexpr int kMtu = 1500;
constexpr uint16_t kUnitEnd = 0x4000;
constexpr uint16_t kFrameStart = 0x8000;

bool read_file(const std::string& path, std::vector<uint8_t>& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  out.resize(size > 0 ? static_cast<size_t>(size) : 0);
  const bool ok = size > 0 && std::fread(out.data(), 1, out.size(), f) == out.size();
  std::fclose(f);
  return ok;
}

// The datagrams the send path makes of one unit, planned exactly as it plans them.
void plan_unit(const rtp_thread& t, std::span<const uint8_t> unit, std::vector<uint16_t>& sizes) {
  std::array<uint8_t, kPacketBufferSize> buffer{};
  const packet_layout layout = layout_of(t);
  packet_cursor cursor = unit_cursor(t, layout, unit);
  for (planned_packet p; cursor.next(buffer, p);) sizes.push_back(static_cast<uint16_t>(p.size()));
}

} // namespace

std::span<const uint8_t> clip::block_bytes(size_t index, std::vector<uint8_t>& scratch) const {
  const feeder::PlannedBlock& b = plan.blocks[index];
  scratch.resize(feeder::block_size(b));
  const uint32_t n = feeder::assemble_block(b, input, scratch);
  return {scratch.data(), n};
}

bool load_clip(const std::string& path, clip& c, std::string& error) {
  c.path = path;
  if (!read_file(path, c.input)) {
    error = "cannot read " + path;
    return false;
  }
  c.plan = feeder::plan_h264(c.input, false);
  if (c.plan.blocks.empty()) {
    error = "no H.264 units in " + path;
    return false;
  }
  const auto record = [](bool ipv6) {
    auto t = std::make_unique<rtp_thread>();
    t->payload = kPayloadH264;
    t->rtp_version = 2;
    t->rtp_payload_type = kPayloadH264;
    t->ns.protocol = kProtocolUdp;
    t->ns.mtu = kMtu;
    std::snprintf(t->ns.host, sizeof t->ns.host, "%s", ipv6 ? "2001:db8::2" : "198.51.100.2");
    t->ns.addr.ai_family = ipv6 ? AF_INET6 : AF_INET;
    return t;
  };
  const auto t = record(false);
  const auto t6 = record(true);

  std::vector<uint8_t> scratch;
  c.blocks.reserve(c.plan.blocks.size());
  for (size_t i = 0; i < c.plan.blocks.size(); ++i) {
    const std::span<const uint8_t> bytes = c.block_bytes(i, scratch);
    clip_block b;
    b.size = static_cast<uint32_t>(bytes.size());
    b.first_packet = static_cast<uint32_t>(c.packets.size());
    b.frame_start = c.plan.blocks[i].frame_start;
    b.frame_type = c.plan.blocks[i].meta.frame_type;
    b.nal_type = bytes.size() > 4 ? bytes[4] & 0x1F : 0;
    const size_t tail = std::min<size_t>(kTailBytes, bytes.size());
    std::memcpy(b.tail + (kTailBytes - tail), bytes.data() + bytes.size() - tail, tail);
    plan_unit(*t, bytes, c.packets);
    b.packet_count = static_cast<uint32_t>(c.packets.size()) - b.first_packet;
    b.first_packet6 = static_cast<uint32_t>(c.packets6.size());
    plan_unit(*t6, bytes, c.packets6);
    b.packet_count6 = static_cast<uint32_t>(c.packets6.size()) - b.first_packet6;
    c.largest_block = std::max(c.largest_block, b.size);
    c.frames += b.frame_start ? 1 : 0;
    c.blocks.push_back(b);
  }
  for (const uint16_t s : c.packets) c.packet_bytes += s;
  return true;
}

bool write_sizes_file(const clip& c, const std::string& path, bool ipv6) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  for (const clip_block& b : c.blocks) {
    const uint32_t count = ipv6 ? b.packet_count6 : b.packet_count;
    for (uint32_t k = 0; k < count; ++k) {
      uint16_t word = ipv6 ? c.packets6[b.first_packet6 + k] : c.packets[b.first_packet + k];
      if (k == 0 && b.frame_start) word |= kFrameStart;
      if (k + 1 == count) word |= kUnitEnd;
      const uint8_t pair[2] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)};
      std::fwrite(pair, 1, 2, f);
    }
  }
  return std::fclose(f) == 0;
}

} // namespace bench
