// The faults a soak deals the daemon, one round after the other: the frame
// producer crashing, the link going away (with an answering and with a
// silent event manager), MTU changes, the session daemon and the event
// manager restarting, junk on the RTCP port, SIGUSR1 bursts and keep-alives
// lapsing for less than the time-out.
#pragma once

#include <signal.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "harness/harness.h"
#include "soak/peers.h"
#include "soak/rtp_watch.h"

namespace soak {

using namespace std::chrono_literals;

struct outage {
  clock::time_point down;
  clock::time_point up;
};

inline constexpr std::array kMtus{1400, 1280, 9000};
inline constexpr int kJunkDatagrams = 5000;
inline constexpr int kUsr1Burst = 500;
// An event manager that never answers holds the stream thread for the
// reply wait of each notice: the down and the up notice take two of them.
inline constexpr auto kSilentNoticeSettle = 12s;

class fault_schedule {
 public:
  fault_schedule(pid_t daemon, peer_set& peers, keep_alive_sender& keep_alive, uint16_t rtcp_port,
                 int keep_alive_timeout)
      : daemon_(daemon), peers_(peers), keep_alive_(keep_alive), rtcp_port_(rtcp_port),
        keep_alive_timeout_(keep_alive_timeout) {}

  // One round of every fault; false as soon as the daemon is gone.
  bool run_round() {
    const bool done = crash_producer() && link_outage(false) && mtu_change() && restart_sessiond() &&
                      link_outage(true) && flood_rtcp() && usr1_burst() && lapse_keep_alives();
    ++rounds_;
    return done;
  }

  // Sleeps while the daemon lives; false once it is gone.
  bool hold(std::chrono::milliseconds span) {
    const auto end = clock::now() + span;
    while (clock::now() < end) {
      if (!harness::process_alive(daemon_)) return false;
      std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(
          100ms, std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()) + 1ms));
    }
    return harness::process_alive(daemon_);
  }

  const std::vector<outage>& outages() const { return outages_; }
  int rounds() const { return rounds_; }
  void note(const char* what) const {
    std::printf("soak: round %d: %s\n", rounds_ + 1, what);
    std::fflush(stdout);
  }

 private:
  bool crash_producer() {
    note("frame producer killed and restarted");
    peers_.crash_producer();
    if (!hold(2s)) return false;
    peers_.start_producer();
    return hold(3s);
  }

  // silent: the event manager takes the notices of this outage unanswered.
  bool link_outage(bool silent) {
    note(silent ? "link down and up, silent event manager" : "link down and up");
    if (silent) {
      peers_.stop_evman();
      peers_.start_evman(true);
    }
    outage o{clock::now(), {}};
    EXPECT_TRUE(harness::set_link_up(false));
    const bool alive = hold(3s);
    EXPECT_TRUE(harness::set_link_up(true));
    o.up = clock::now();
    outages_.push_back(o);
    if (!alive || !hold(silent ? kSilentNoticeSettle : 3s)) return false;
    if (silent) {
      peers_.stop_evman();
      peers_.start_evman(false);
    }
    return true;
  }

  bool mtu_change() {
    const int mtu = kMtus[static_cast<size_t>(rounds_) % kMtus.size()];
    note(mtu == 9000 ? "MTU 9000 and back" : mtu == 1400 ? "MTU 1400 and back" : "MTU 1280 and back");
    EXPECT_TRUE(harness::set_mtu(mtu));
    const bool alive = hold(4s);
    EXPECT_TRUE(harness::set_mtu(harness::kDefaultMtu));
    return alive && hold(2s);
  }

  // Long enough to miss a bit-rate report (one every 5 s).
  bool restart_sessiond() {
    note("session daemon stopped and restarted");
    peers_.stop_sessiond();
    if (!hold(6s)) return false;
    peers_.start_sessiond();
    return hold(2s);
  }

  bool flood_rtcp() {
    note("junk datagrams on the RTCP port");
    flood_rtcp_port(rtcp_port_, kJunkDatagrams, static_cast<uint32_t>(rounds_ + 1));
    return hold(1s);
  }

  bool usr1_burst() {
    note("SIGUSR1 burst");
    for (int i = 0; i < kUsr1Burst; ++i) kill(daemon_, SIGUSR1);
    return hold(1s);
  }

  // Three seconds short of the time-out, counted from the last keep-alive
  // (at most a second before the pause).
  bool lapse_keep_alives() {
    note("keep-alives lapse");
    keep_alive_.pause(true);
    const bool alive = hold(std::chrono::seconds(keep_alive_timeout_ - 4));
    keep_alive_.pause(false);
    return alive && hold(2s);
  }

  pid_t daemon_;
  peer_set& peers_;
  keep_alive_sender& keep_alive_;
  uint16_t rtcp_port_;
  int keep_alive_timeout_;
  std::vector<outage> outages_;
  int rounds_ = 0;
};

} // namespace soak
