// Sequence-number bookkeeping: extends the 16-bit numbers across wraps and
// tells in-order packets from gaps, duplicates and late arrivals.
#pragma once

#include <array>
#include <cstdint>

namespace probe {

enum class SeqClass { first, in_order, after_gap, duplicate, late };

struct SeqResult {
  SeqClass cls = SeqClass::first;
  int64_t ext = 0;      // extended sequence number of this packet
  uint32_t missing = 0; // after_gap: numbers skipped before it
};

class SequenceTracker {
 public:
  SeqResult accept(uint16_t seq);

  bool started() const { return started_; }
  int64_t first_ext() const { return first_; }
  int64_t max_ext() const { return max_; }
  uint64_t unique() const { return unique_; }
  // Numbers between the first and the highest that never arrived.
  uint64_t lost() const;

 private:
  // Late packets further back than this are classed late without asking
  // whether they are duplicates.
  static constexpr int64_t kWindow = 4096;

  bool seen(int64_t ext) const;
  void mark(int64_t ext);
  void clear(int64_t ext);

  bool started_ = false;
  int64_t first_ = 0;
  int64_t max_ = 0;
  uint64_t unique_ = 0;
  std::array<uint64_t, kWindow / 64> bits_{};
};

} // namespace probe
