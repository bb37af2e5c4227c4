#include "interleave.h"

namespace probe {

InterleaveParser::InterleaveParser(Findings& findings, FrameFn on_frame)
    : findings_(findings),
      deframer_(
          [this, on_frame = std::move(on_frame)](uint8_t channel, Bytes frame) {
            if (frame.empty()) {
              findings_.add(Finding::interleave_framing, "empty '$' frame on channel %u", channel);
            } else {
              on_frame(channel, frame);
            }
          },
          [this](size_t skipped, uint64_t frames) {
            findings_.add(Finding::interleave_framing, "%zu byte(s) outside any '$' frame after frame %llu", skipped,
                          static_cast<unsigned long long>(frames));
          }) {}

void InterleaveParser::finish() {
  if (const size_t left = deframer_.pending(); left > 0) {
    findings_.add(Finding::interleave_framing, "stream ended inside a '$' frame (%zu byte(s) left)", left);
  }
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
