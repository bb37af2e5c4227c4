// Bit-rate window, keep-alive clock and the stream's SSRC.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>

#include "stream/rtp_thread.h"
#include "record/ssrc.h"
#include "stream/stream_timing.h"

namespace {
timespec at(long sec, long nsec = 0) { return timespec{sec, nsec}; }
} // namespace

TEST(BitrateWindow, ClosesOnlyAfterFiveWholeSecondsAndReports3000000OctetsAs4800Kbps) {
  bitrate_window w(at(100, 500000000));
  w.add(1000000);
  w.add(2000000);
  EXPECT_FALSE(w.close_if_due(at(104, 999999999)).has_value());
  EXPECT_FALSE(w.close_if_due(at(105, 400000000)).has_value()) << "4.9 s: the sub-second part borrows";
  EXPECT_EQ(w.close_if_due(at(105, 500000000)).value_or(0), 4800u);
  // The window restarted there, empty.
  EXPECT_FALSE(w.close_if_due(at(110, 0)).has_value());
  EXPECT_EQ(w.close_if_due(at(110, 600000000)).value_or(99), 0u);
}

TEST(KeepAliveWatch, ExpiresWhenWholeSecondsReachTheTimeoutAndRefreshRestartsIt) {
  keep_alive_watch w(at(10, 200000000));
  EXPECT_FALSE(w.expired(at(13, 100000000), 3).has_value()) << "2.9 s";
  EXPECT_EQ(w.expired(at(13, 200000000), 3).value_or(-1), 3);
  w.refresh(at(13, 0));
  EXPECT_FALSE(w.expired(at(15, 0), 3).has_value());
  EXPECT_EQ(w.expired(at(76, 0), 60).value_or(-1), 63);
}

TEST(Ssrc, FoldsTheLow16BitsOfTheSessionIdAndTheHardwareAddressWithTheSeed) {
  const std::array<uint8_t, 6> mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(ssrc_from(0x1234, mac, 109), 0x5555306Au);
  EXPECT_EQ(ssrc_from(0x51234, mac, 106), 0x5555306Du);
  // Through the interface query: loopback has an all-zero address.
  auto t = std::make_unique<rtp_thread>();
  t->session_id = 0x1234;
  std::strcpy(t->ns.device, "lo");
  EXPECT_EQ(make_ssrc(t.get(), 109), 0x11110348u);
}
