#include "stream/nal_split.h"

#include <algorithm>

namespace {

bool is_start_code(const unsigned char* p) { return p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1; }

// First start code wholly inside [from, window), or -1.
int find_start_code(const unsigned char* buffer, int from, int window) {
  for (int i = from; i + 4 <= window; ++i) {
    if (is_start_code(buffer + i)) return i;
  }
  return -1;
}

} // namespace

bool find_nal_unit(const unsigned char* buffer, int length, nal_unit* unit) {
  const int window = std::min(length, kNalScanWindow);
  const int start = find_start_code(buffer, 0, window);
  if (start < 0) return false;
  const int next = find_start_code(buffer, start + 4, window);
  unit->data = buffer + start;
  unit->length = (next < 0 ? length : next) - start;
  // A start code that ends the buffer has no NAL header byte behind it.
  unit->type = start + 4 < length ? buffer[start + 4] : 0;
  return true;
}

int split_nal_units(const unsigned char* buffer, int n, bool drop_sei, std::span<nal_unit, kMaxUnits> units) {
  const unsigned char* pos = buffer;
  const unsigned char* const end = buffer + n;
  int count = 0;
  while (end - pos > 4) {
    nal_unit unit;
    if (!find_nal_unit(pos, static_cast<int>(end - pos), &unit)) break;
    if (!(drop_sei && (unit.type & 0x1F) == kNalTypeSei)) {
      units[count++] = unit;
      if (count == kMaxUnits) break;
    }
    // Go on after the unit, not after as many bytes from the search start,
    // so that bytes skipped before a start code are never scanned twice.
    pos = unit.data + unit.length;
  }
  return count;
}
