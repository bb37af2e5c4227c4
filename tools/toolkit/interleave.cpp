#include "toolkit/interleave.h"

#include <cstring>

namespace toolkit {

Deframer::Deframer(FrameFn on_frame, SkipFn on_skip) : on_frame_(std::move(on_frame)), on_skip_(std::move(on_skip)) {
  buffer_.reserve(2 * (kInterleavePrefix + 65535));
}

void Deframer::feed(Bytes bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  drain();
  // Keep the unread tail at the front so the buffer stays bounded.
  if (start_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
}

void Deframer::drain() {
  while (buffer_.size() - start_ >= kInterleavePrefix) {
    const Bytes rest(buffer_.data() + start_, buffer_.size() - start_);
    if (rest[0] != '$') {
      // Out of step: go on at the next '$', telling the skip once.
      const void* dollar = std::memchr(rest.data() + 1, '$', rest.size() - 1);
      const size_t skip = dollar ? static_cast<size_t>(static_cast<const uint8_t*>(dollar) - rest.data()) : rest.size();
      if (!lost_step_) {
        ++skips_;
        if (on_skip_) {
          on_skip_(skip, frames_);
        }
      }
      lost_step_ = true;
      start_ += skip;
      continue;
    }
    const size_t length = be16(rest, 2);
    if (rest.size() < kInterleavePrefix + length) {
      return;
    }
    lost_step_ = false;
    ++frames_;
    on_frame_(rest[1], rest.subspan(kInterleavePrefix, length));
    start_ += kInterleavePrefix + length;
  }
}

} // namespace toolkit
