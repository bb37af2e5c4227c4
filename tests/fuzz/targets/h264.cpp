// H.264 blocks through unit splitting and the packetiser: the first byte
// holds the stream's flags (one of them: a further slice of the picture
// follows, so no packet is marked), the next two the MTU, the rest is the block.
// Every unit lies inside the block; every unit that holds one NAL unit
// is rebuilt from its packets exactly as a receiver does (STAP-A, single NAL
// unit packet or FU-A) and must come out as it went in.
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "packetise.h"
#include "stream/nal_split.h"
#include "stream/payload_format.h"
#include "stream/rtp_thread.h"

namespace {

constexpr uint8_t kFlagDisableStap = 0x01;
constexpr uint8_t kFlagDropSei = 0x02;
constexpr uint8_t kFlagSdPlay = 0x04;
constexpr uint8_t kFlagSliceGoesOn = 0x08; // a further slice of the picture follows
constexpr int kMinH264Room = 3; // FU-A indicator and header, and one byte

// What a receiver makes of the packets of one unit.
class depacketiser {
 public:
  // Only a unit that holds one NAL unit can be rebuilt; of the others only
  // the payload header sizes are known.
  explicit depacketiser(bool rebuild) : rebuild_(rebuild) {}

  void add(const fuzz_packet& p) {
    const size_t header = p.payload_header.size();
    FUZZ_EXPECT(header == 0 || header == 2 || header == 3);
    if (!rebuild_) return;
    if (p.payload_header.size() == 3) { // STAP-A with one unit
      FUZZ_EXPECT(first_ && p.marker);
      FUZZ_EXPECT((p.payload_header[0] & 0x1F) == kNalStapA);
      FUZZ_EXPECT((p.payload_header[1] << 8 | p.payload_header[2]) == static_cast<int>(p.payload.size()));
      nal_.assign(p.payload.begin(), p.payload.end());
    } else if (p.payload_header.empty()) { // single NAL unit packet
      FUZZ_EXPECT(first_ && p.marker);
      nal_.assign(p.payload.begin(), p.payload.end());
    } else {
      FUZZ_EXPECT(p.payload_header.size() == 2);
      const uint8_t indicator = p.payload_header[0];
      const uint8_t fu = p.payload_header[1];
      FUZZ_EXPECT((indicator & 0x1F) == kNalFuA);
      FUZZ_EXPECT(((fu & 0x80) != 0) == first_);
      FUZZ_EXPECT(((fu & 0x40) != 0) == p.marker);
      if (first_) nal_.push_back(static_cast<uint8_t>((indicator & 0xE0) | (fu & 0x1F)));
      nal_.insert(nal_.end(), p.payload.begin(), p.payload.end());
    }
    first_ = false;
  }
  const std::vector<uint8_t>& nal() const { return nal_; }

 private:
  bool rebuild_;
  bool first_ = true;
  std::vector<uint8_t> nal_;
};

bool has_start_code(std::span<const uint8_t> unit) {
  return unit.size() > kH264StartCodeSize + 1 && unit[0] == 0 && unit[1] == 0 && unit[2] == 0 && unit[3] == 1;
}

// One NAL unit with its start code. A start code further on (never inside a
// coded NAL unit, but a unit may run past the scan window to the block's
// end) starts a new unit wherever a packet happens to begin there.
bool is_single_nal(std::span<const uint8_t> unit) {
  static constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
  return has_start_code(unit) &&
         ::memmem(unit.data() + 1, unit.size() - 1, kStartCode, sizeof kStartCode) == nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_quiet_logs();
  fuzz_bytes input(data, size);
  const uint8_t flags = input.u8();
  const uint16_t mtu = input.u16();
  const std::span<const uint8_t> rest = input.rest();
  const auto block = fuzz_exact_copy(rest.data(), rest.size());
  const int n = static_cast<int>(rest.size());

  auto thread = std::make_unique<rtp_thread>();
  thread->payload = kPayloadH264;
  thread->rtp_payload_type = kPayloadH264;
  thread->disable_stap = (flags & kFlagDisableStap) != 0;
  thread->unit_continues_picture = (flags & kFlagSliceGoesOn) != 0;
  fuzz_choose_transport(*thread, mtu, flags);

  std::array<nal_unit, kMaxUnits> units;
  int count = 1;
  if ((flags & kFlagSdPlay) != 0) {
    count = split_nal_units(block.get(), n, (flags & kFlagDropSei) != 0, units);
    FUZZ_EXPECT(count >= 0 && count <= kMaxUnits);
  } else {
    units[0] = nal_unit{block.get(), n, 0};
  }

  const unsigned char* previous_end = block.get();
  for (int i = 0; i < count; ++i) {
    const nal_unit& u = units[static_cast<size_t>(i)];
    FUZZ_EXPECT(u.data >= previous_end && u.length >= 0 && u.data + u.length <= block.get() + n);
    previous_end = u.data + u.length;
    const std::span<const uint8_t> unit(u.data, static_cast<size_t>(u.length));
    if ((flags & kFlagSdPlay) != 0) {
      FUZZ_EXPECT(u.length >= kH264StartCodeSize && u.length > 0 && std::memcmp(u.data, "\0\0\0\1", 4) == 0);
      if ((flags & kFlagDropSei) != 0 && u.length > kH264StartCodeSize) FUZZ_EXPECT((u.data[4] & 0x1F) != kNalTypeSei);
    }
    const bool rebuildable = is_single_nal(unit);
    depacketiser receiver(rebuildable);
    if (!fuzz_packetise(*thread, unit, kMinH264Room, [&](const fuzz_packet& p) { receiver.add(p); })) break;
    if (rebuildable) {
      const std::vector<uint8_t>& nal = receiver.nal();
      FUZZ_EXPECT(nal.size() == unit.size() - kH264StartCodeSize);
      // The forbidden bit does not survive FU-A; a sound stream never sets it.
      FUZZ_EXPECT((nal[0] & 0x7F) == (unit[kH264StartCodeSize] & 0x7F));
      FUZZ_EXPECT(std::memcmp(nal.data() + 1, unit.data() + kH264StartCodeSize + 1, nal.size() - 1) == 0);
    }
  }
  return 0;
}
