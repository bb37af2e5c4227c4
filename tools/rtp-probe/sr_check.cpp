#include "sr_check.h"

#include <cmath>

namespace probe {
namespace {

constexpr int kBases = static_cast<int>(OctetBasis::count_);
constexpr const char* kBasisNames[kBases] = {"as sent", "RTP packet", "payload"};

int32_t ts_diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

} // namespace

SrChecker::SrChecker(Findings& findings, bool check_clock)
    : findings_(findings), check_clock_(check_clock), history_(kHistory) {}

const SrChecker::Entry* SrChecker::entry(int64_t ext) const {
  if (ext < 0) {
    return nullptr;
  }
  const Entry& e = history_[static_cast<uint64_t>(ext) % kHistory];
  return e.ext == ext ? &e : nullptr;
}

void SrChecker::on_rtp(int64_t ext, uint32_t timestamp, size_t framed, size_t packet, size_t payload) {
  if (!have_rtp_) {
    have_rtp_ = true;
    first_ext_ = max_ext_ = ext;
  }
  if (ext > max_ext_) {
    max_ext_ = ext;
  }
  if (ext < first_ext_) {
    first_ext_ = ext;
  }
  Entry& e = history_[static_cast<uint64_t>(ext) % kHistory];
  e.ext = ext;
  e.timestamp = timestamp;
  e.size[static_cast<int>(OctetBasis::framed)] = static_cast<uint32_t>(framed);
  e.size[static_cast<int>(OctetBasis::packet)] = static_cast<uint32_t>(packet);
  e.size[static_cast<int>(OctetBasis::payload)] = static_cast<uint32_t>(payload);

  if (!pending_.empty() && !wrap_known_) {
    settle_wraps(pending_.front());
  }
  while (!pending_.empty() && wrap_known_ &&
         static_cast<int64_t>(pending_.front().packet_count) + wrap_adjust_ <= max_ext_) {
    const SenderReport sr = pending_.front();
    pending_.pop_front();
    evaluate(sr, false);
  }
}

void SrChecker::settle_wraps(const SenderReport& sr) {
  // Sequence numbers start at 0 with the stream; our extended numbers began
  // wherever we joined, so settle the number of wraps once.
  const int64_t sender_last = static_cast<int64_t>(sr.packet_count) - 1;
  wrap_adjust_ = std::llround(static_cast<double>(max_ext_ - sender_last) / 65536.0) * 65536;
  wrap_known_ = true;
}

void SrChecker::on_report(const SenderReport& sr, double now_unix) {
  ++counts_.reports;
  if (sr.ntp_seconds == 0 && sr.ntp_fraction == 0) {
    findings_.add(Finding::sr_ntp, "sender report without NTP time");
  } else if (check_clock_) {
    const double unix_time = static_cast<double>(sr.ntp_seconds) - kNtpUnixOffset + sr.ntp_fraction / 4294967296.0;
    if (std::fabs(unix_time - now_unix) > kClockTolerance) {
      findings_.add(Finding::sr_ntp, "NTP time %.3f s away from the receiver's clock", unix_time - now_unix);
    }
  }
  if (have_previous_) {
    const uint64_t ntp = uint64_t{sr.ntp_seconds} << 32 | sr.ntp_fraction;
    const uint64_t before = uint64_t{previous_.ntp_seconds} << 32 | previous_.ntp_fraction;
    if (ntp < before) {
      findings_.add(Finding::sr_ntp, "NTP time went back by %.3f s",
                    static_cast<double>(before - ntp) / 4294967296.0);
    }
    if (ts_diff(sr.rtp_timestamp, previous_.rtp_timestamp) < 0) {
      findings_.add(Finding::sr_timestamp, "report RTP timestamp %u before the previous report's %u",
                    sr.rtp_timestamp, previous_.rtp_timestamp);
    }
    if (sr.packet_count < previous_.packet_count || sr.octet_count < previous_.octet_count) {
      findings_.add(Finding::sr_packet_count, "counts went back: %u packets %u octets after %u packets %u octets",
                    sr.packet_count, sr.octet_count, previous_.packet_count, previous_.octet_count);
    }
  }
  have_previous_ = true;
  previous_ = sr;

  if (have_rtp_ && !wrap_known_) {
    settle_wraps(sr);
  }
  if (pending_.size() >= kMaxPending) {
    findings_.add(Finding::sr_unverified, "report counts %u packets, far more than arrived",
                  pending_.front().packet_count);
    pending_.pop_front();
  }
  pending_.push_back(sr);
  while (!pending_.empty() && wrap_known_ &&
         static_cast<int64_t>(pending_.front().packet_count) + wrap_adjust_ <= max_ext_) {
    const SenderReport next = pending_.front();
    pending_.pop_front();
    evaluate(next, false);
  }
}

void SrChecker::finish() {
  while (!pending_.empty()) {
    const SenderReport sr = pending_.front();
    pending_.pop_front();
    evaluate(sr, true);
  }
}

void SrChecker::evaluate(const SenderReport& sr, bool at_end) {
  if (!have_rtp_ || !wrap_known_) {
    if (sr.packet_count > 0) {
      findings_.add(Finding::sr_unverified, "report counts %u packets but no RTP packet arrived", sr.packet_count);
    }
    return;
  }
  const int64_t last = static_cast<int64_t>(sr.packet_count) - 1 + wrap_adjust_;
  if (at_end && last > max_ext_) {
    findings_.add(Finding::sr_packet_count, "report counts %u packets, %lld more than arrived", sr.packet_count,
                  static_cast<long long>(last - max_ext_));
    return;
  }
  bool judged = false;
  if (const Entry* e = entry(last)) {
    judged = true;
    if (ts_diff(e->timestamp, sr.rtp_timestamp) > 0) {
      findings_.add(Finding::sr_packet_count,
                    "report at timestamp %u counts %u packets, but packet %lld has the later timestamp %u",
                    sr.rtp_timestamp, sr.packet_count, static_cast<long long>(last), e->timestamp);
      anchor_valid_ = false;
      anchor_tried_ = true;
      return;
    }
  }
  if (const Entry* e = entry(last + 1)) {
    judged = true;
    if (ts_diff(e->timestamp, sr.rtp_timestamp) < 0) {
      findings_.add(Finding::sr_packet_count,
                    "report at timestamp %u counts %u packets, but packet %lld with the earlier timestamp %u was sent",
                    sr.rtp_timestamp, sr.packet_count, static_cast<long long>(last + 1), e->timestamp);
      anchor_valid_ = false;
      anchor_tried_ = true;
      return;
    }
  }
  if (judged) {
    ++counts_.packet_checked;
  }
  check_octets(sr, last);
}

void SrChecker::check_octets(const SenderReport& sr, int64_t last) {
  if (!anchor_tried_) {
    anchor_tried_ = true;
    // Seen from its first packet on: the counts start from zero.
    if (first_ext_ == 0 && wrap_adjust_ == 0) {
      anchor_valid_ = true;
      anchor_ext_ = -1;
      anchor_octets_ = 0;
    }
  }
  if (anchor_valid_ && last >= anchor_ext_ && last - anchor_ext_ <= static_cast<int64_t>(kHistory)) {
    uint32_t sums[kBases] = {};
    bool complete = true;
    for (int64_t ext = anchor_ext_ + 1; ext <= last && complete; ++ext) {
      const Entry* e = entry(ext);
      if (e == nullptr) {
        complete = false;
        break;
      }
      for (int b = 0; b < kBases; ++b) {
        sums[b] += e->size[b];
      }
    }
    if (complete) {
      const uint32_t counted = sr.octet_count - anchor_octets_;
      int match = -1;
      for (int b = 0; b < kBases && match < 0; ++b) {
        if (sums[b] == counted) {
          match = b;
        }
      }
      ++counts_.octet_checked;
      if (match < 0) {
        findings_.add(Finding::sr_octet_count,
                      "report counts %u octets; the packets up to it give %u %s, %u %s or %u %s octets",
                      sr.octet_count, anchor_octets_ + sums[0], kBasisNames[0], anchor_octets_ + sums[1],
                      kBasisNames[1], anchor_octets_ + sums[2], kBasisNames[2]);
      } else {
        counts_.octet_basis = match;
      }
    }
  }
  anchor_valid_ = true;
  anchor_ext_ = last;
  anchor_octets_ = sr.octet_count;
}

} // namespace probe
