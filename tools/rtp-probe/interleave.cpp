#include "interleave.h"

#include <cstring>

namespace probe {

InterleaveParser::InterleaveParser(Findings& findings, FrameFn on_frame)
    : findings_(findings), on_frame_(std::move(on_frame)) {
  buffer_.reserve(2 * (kPrefix + 65535));
}

void InterleaveParser::feed(Bytes bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  drain();
  // Keep the unread tail at the front so the buffer stays bounded.
  if (start_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
}

void InterleaveParser::drain() {
  while (buffer_.size() - start_ >= kPrefix) {
    const Bytes rest(buffer_.data() + start_, buffer_.size() - start_);
    if (rest[0] != '$') {
      // Out of step: look for the next '$' and report the bytes skipped once.
      const void* dollar = std::memchr(rest.data() + 1, '$', rest.size() - 1);
      const size_t skip = dollar ? static_cast<size_t>(static_cast<const uint8_t*>(dollar) - rest.data()) : rest.size();
      if (!lost_sync_) {
        findings_.add(Finding::interleave_framing, "%zu byte(s) outside any '$' frame after frame %llu", skip,
                      static_cast<unsigned long long>(frames_));
      }
      lost_sync_ = true;
      start_ += skip;
      continue;
    }
    const size_t length = be16(rest, 2);
    if (rest.size() < kPrefix + length) {
      return;
    }
    lost_sync_ = false;
    ++frames_;
    if (length == 0) {
      findings_.add(Finding::interleave_framing, "empty '$' frame on channel %u", rest[1]);
    } else {
      on_frame_(rest[1], rest.subspan(kPrefix, length));
    }
    start_ += kPrefix + length;
  }
}

void InterleaveParser::finish() {
  const size_t left = buffer_.size() - start_;
  if (left > 0) {
    findings_.add(Finding::interleave_framing, "stream ended inside a '$' frame (%zu byte(s) left)", left);
  }
  buffer_.clear();
  start_ = 0;
}

void ChannelCheck::on_frame(uint8_t channel, bool rtcp) {
  int& mine = rtcp ? rtcp_ : rtp_;
  const int other = rtcp ? rtp_ : rtcp_;
  if (mine < 0) {
    mine = channel;
    if (channel == other) {
      findings_.add(Finding::interleave_channel, "RTP and RTCP share channel %u", channel);
    }
  } else if (mine != channel) {
    findings_.add(Finding::interleave_channel, "%s on channel %u, earlier on channel %d", rtcp ? "RTCP" : "RTP",
                  channel, mine);
  }
}

} // namespace probe
