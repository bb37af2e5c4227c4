#include "sequence.h"

namespace probe {

bool SequenceTracker::seen(int64_t ext) const {
  const auto i = static_cast<uint64_t>(ext) % kWindow;
  return (bits_[i / 64] >> (i % 64)) & 1u;
}

void SequenceTracker::mark(int64_t ext) {
  const auto i = static_cast<uint64_t>(ext) % kWindow;
  bits_[i / 64] |= uint64_t{1} << (i % 64);
}

void SequenceTracker::clear(int64_t ext) {
  const auto i = static_cast<uint64_t>(ext) % kWindow;
  bits_[i / 64] &= ~(uint64_t{1} << (i % 64));
}

SeqResult SequenceTracker::accept(uint16_t seq) {
  SeqResult r;
  if (!started_) {
    started_ = true;
    first_ = max_ = seq;
    unique_ = 1;
    mark(seq);
    r.cls = SeqClass::first;
    r.ext = seq;
    return r;
  }
  const auto ahead = static_cast<uint16_t>(seq - static_cast<uint16_t>(max_));
  if (ahead != 0 && ahead < 0x8000) {
    const int64_t ext = max_ + ahead;
    if (ahead >= kWindow) {
      bits_.fill(0);
    } else {
      for (int64_t e = max_ + 1; e <= ext; ++e) {
        clear(e);
      }
    }
    max_ = ext;
    mark(ext);
    ++unique_;
    r.ext = ext;
    r.cls = ahead == 1 ? SeqClass::in_order : SeqClass::after_gap;
    r.missing = ahead - 1u;
    return r;
  }
  const int64_t back = ahead == 0 ? 0 : 0x10000 - ahead;
  r.ext = max_ - back;
  if (back < kWindow && seen(r.ext)) {
    r.cls = SeqClass::duplicate;
    return r;
  }
  r.cls = SeqClass::late;
  if (back < kWindow) {
    mark(r.ext);
  }
  if (r.ext < first_) {
    first_ = r.ext;
  }
  ++unique_;
  return r;
}

uint64_t SequenceTracker::lost() const {
  if (!started_) {
    return 0;
  }
  const auto span = static_cast<uint64_t>(max_ - first_ + 1);
  return span > unique_ ? span - unique_ : 0;
}

} // namespace probe
