// Sixteen daemons side by side, as a busy recorder runs them: each registers
// its own session and streams H.264 from one of four fed channels, twelve to
// unicast receivers (IPv4 and IPv6) and four to one multicast group on
// different ports, where two members listen on every port. No stream may
// reach another's port or lose a packet, stopping some early must leave the
// rest streaming (the group's host route included), and after the common stop
// no pid file, route, lock file or session may be left.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "daemon_runs.h"
#include "harness/harness.h"
#include "media_peers.h"
#include "media_rtp.h"

namespace {

using namespace media_sys;
using namespace std::chrono_literals;

constexpr char kGroup[] = "239.1.2.3";
constexpr int kChannels = 4;
constexpr int kUnicastPerFamily = 6;
constexpr int kMulticastMembers = 2;
constexpr size_t kWarmPackets = 40;  // per receiver before the early stop
constexpr size_t kLaterPackets = 40; // more per receiver after it

struct stream {
  std::string host;
  int port = 0;
  int channel = 0;
  bool multicast = false;
  std::vector<size_t> receivers; // indices into the collector
  int session = -1;
  std::string pid_file;
  pid_t pid = -1;
};

// Receives every port on the receiving host from one thread, so that no
// socket buffer fills while the test waits elsewhere.
class collector {
 public:
  struct port {
    std::unique_ptr<harness::UdpReceiver> rx;
    std::vector<rtp_packet> packets;
    std::set<int> source_ports;
    int malformed = 0;
  };

  size_t add(const std::string& address, int port_number) {
    ports_.push_back({std::make_unique<harness::UdpReceiver>(address, static_cast<uint16_t>(port_number))});
    return ports_.size() - 1;
  }
  void start() { thread_ = std::thread([this] { run(); }); }
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  ~collector() { stop(); }

  size_t count(size_t receiver) {
    std::lock_guard lock(mutex_);
    return ports_[receiver].packets.size();
  }
  // Read only once stopped.
  const port& operator[](size_t receiver) const { return ports_[receiver]; }

 private:
  void run() {
    std::vector<pollfd> fds;
    for (const auto& p : ports_) fds.push_back({p.rx->fd(), POLLIN, 0});
    uint8_t buffer[65536];
    // Runs until stopped, then empties the queues (at most 1000 polls more).
    for (int after_stop = 0; after_stop < 1000; after_stop += running_ ? 0 : 1) {
      if (poll(fds.data(), fds.size(), 100) <= 0) {
        if (!running_) return;
        continue;
      }
      for (size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        sockaddr_storage from{};
        socklen_t from_length = sizeof from;
        const ssize_t n = recvfrom(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &from_length);
        if (n < 0) continue;
        auto p = parse_rtp(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
        std::lock_guard lock(mutex_);
        if (p) {
          ports_[i].packets.push_back(std::move(*p));
          // Both families keep the port at the same offset.
          ports_[i].source_ports.insert(ntohs(reinterpret_cast<const sockaddr_in*>(&from)->sin_port));
        } else {
          ++ports_[i].malformed;
        }
      }
    }
  }

  std::vector<port> ports_;
  std::thread thread_;
  std::atomic<bool> running_{true};
  std::mutex mutex_;
};

struct session_log {
  std::map<std::pair<std::string, int>, int> added; // (host, dstport) -> session id
  std::vector<int> removed;
};

session_log read_session_log() {
  session_log log;
  static const std::regex add(R"re("op":"add","session_id":(-?\d+),.*"host":"([^"]*)","dstport":(\d+))re");
  static const std::regex remove(R"re("op":"remove","session_id":(-?\d+))re");
  for (const std::string& line : daemon_runs::log_lines("/tmp/sessiond.log")) {
    std::smatch m;
    if (std::regex_search(line, m, add)) {
      log.added[{m[2].str(), std::stoi(m[3].str())}] = std::stoi(m[1].str());
    } else if (std::regex_search(line, m, remove)) {
      log.removed.push_back(std::stoi(m[1].str()));
    }
  }
  return log;
}

bool group_route_present() {
  for (const auto& r : harness::ipv4_routes()) {
    if (r.destination_text() == kGroup && r.device == harness::kDevice && r.flags == 5) return true;
  }
  return false;
}

std::vector<std::string> daemon_command(const stream& s) {
  return daemon_runs::stream_args({"--datatype=h264(" + std::to_string(s.channel) + ")", "--host=" + s.host,
                                   "--dstport=" + std::to_string(s.port), "--timeout=0"});
}

class ManyStreams : public ::testing::Test {
 protected:
  void SetUp() override {
    clip_ = clip("h264.264");
    clip_units_ = annexb_units(read_bytes(clip_));
    ASSERT_GT(clip_units_.size(), 300u);
    for (int i = 0; i < kUnicastPerFamily; ++i) {
      streams_.push_back({harness::kPeerIpv4, 5000 + 4 * i, i % kChannels});
      streams_.push_back({harness::kPeerIpv6, 5100 + 4 * i, (i + 2) % kChannels});
    }
    for (int channel = 0; channel < kChannels; ++channel) {
      // One multicast stream per channel: the pid file is the channel's.
      streams_.push_back({kGroup, 6000 + 4 * channel, channel, true});
    }
    ASSERT_EQ(streams_.size(), 16u);
  }

  void feed_channels() {
    sessiond_ = start_sessiond();
    for (int channel = 0; channel < kChannels; ++channel) {
      feeders_.emplace_back(std::vector<std::string>{harness::bin("frame-feeder"), "--codec", "h264", "--channel",
                                                     std::to_string(channel), "--input", clip_, "--loop", "--keep"});
    }
    for (int channel = 0; channel < kChannels; ++channel) {
      ASSERT_TRUE(harness::wait_for_file("/tmp/shm" + std::to_string(channel))) << feeders_[channel].err();
    }
  }

  void listen() {
    for (auto& s : streams_) {
      const int members = s.multicast ? kMulticastMembers : 1;
      for (int m = 0; m < members; ++m) s.receivers.push_back(collector_.add(s.host, s.port));
    }
    collector_.start();
  }

  // All sixteen at once; each parent returns once its daemon is detached.
  void start_all() {
    std::vector<harness::Process> launchers;
    for (const auto& s : streams_) launchers.emplace_back(daemon_command(s));
    for (auto& l : launchers) ASSERT_EQ(l.wait(10s).code(), 0) << l.out() << l.err();

    // Registration happens in the detached daemon; the pid file of a
    // unicast stream is named after the session id it was given.
    session_log log;
    daemon_runs::wait_until([&] { return (log = read_session_log()).added.size() >= streams_.size(); }, 10s);
    ASSERT_EQ(log.added.size(), streams_.size()) << harness::read_file("/tmp/sessiond.log").value_or("");
    std::set<int> ids;
    std::set<pid_t> pids;
    for (auto& s : streams_) {
      s.session = log.added.at({s.host, s.port});
      ids.insert(s.session);
      s.pid_file = harness::daemon_pid_file(daemon_command(s), s.session);
      const auto pid = harness::read_pid_file(s.pid_file, 10s);
      ASSERT_TRUE(pid.has_value()) << s.pid_file << "\n" << harness::syslog_dump();
      s.pid = *pid;
      pids.insert(s.pid);
    }
    EXPECT_EQ(ids.size(), streams_.size()) << "session ids shared";
    EXPECT_EQ(pids.size(), streams_.size()) << "one process per stream";
  }

  // Every receiver of the streams has `more` packets beyond what it has now.
  bool all_go_on(const std::vector<const stream*>& which, size_t more) {
    std::vector<std::pair<size_t, size_t>> targets; // receiver, count to reach
    for (const stream* s : which) {
      for (size_t r : s->receivers) targets.emplace_back(r, collector_.count(r) + more);
    }
    const auto reached = [&](const auto& t) { return collector_.count(t.first) >= t.second; };
    return daemon_runs::wait_until([&] { return std::all_of(targets.begin(), targets.end(), reached); }, 20s);
  }

  void stop(std::vector<const stream*> which) {
    for (const stream* s : which) {
      if (s->pid > 0) kill(s->pid, SIGTERM);
    }
    for (const stream* s : which) {
      EXPECT_EQ(harness::wait_exit(s->pid, 10s).code(), 0) << s->host << " port " << s->port;
      EXPECT_TRUE(harness::wait_file_gone(s->pid_file)) << s->pid_file;
    }
  }

  // What each stream's receivers got: one stream alone, whole and in order.
  void check_deliveries() {
    std::map<uint32_t, int> ssrc_owner;
    for (const auto& s : streams_) {
      SCOPED_TRACE(s.host + " port " + std::to_string(s.port));
      const auto& packets = collector_[s.receivers[0]].packets;
      ASSERT_FALSE(packets.empty());
      const uint32_t ssrc = packets[0].ssrc;
      for (size_t r : s.receivers) {
        EXPECT_EQ(collector_[r].malformed, 0) << "datagrams that were no RTP";
        // Without a source port of its own a stream sends from one derived
        // from its session id.
        EXPECT_EQ(collector_[r].source_ports, std::set<int>{(s.session + 512) * 2}) << "receiver " << r;
        const auto& got = collector_[r].packets;
        const auto foreign = std::count_if(got.begin(), got.end(), [&](const rtp_packet& p) {
          return p.ssrc != ssrc || p.payload_type != 96;
        });
        EXPECT_EQ(foreign, 0) << "packets of another stream";
        // Every member of the group sees the same packets.
        ASSERT_EQ(got.size(), packets.size()) << "receiver " << r;
        for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i].seq, packets[i].seq) << "receiver " << r;
      }
      EXPECT_TRUE(ssrc_owner.emplace(ssrc, s.port).second) << "SSRC shared with port " << ssrc_owner[ssrc];

      std::string error;
      const auto nals = depacketize_h264(packets, &error);
      EXPECT_EQ(error, "") << "the stream lost or reordered packets";
      ASSERT_GT(nals.size(), kWarmPackets / 2);
      EXPECT_EQ(nal_type(nals[0].unit), 7) << "a stream starts at a key frame";
      EXPECT_TRUE(contiguous_run(units_of(nals), clip_units_)) << "units differ from the fed clip";
    }
  }

  std::string clip_;
  std::vector<bytes> clip_units_;
  std::vector<stream> streams_;
  harness::Process sessiond_;
  std::vector<harness::Process> feeders_;
  collector collector_;
};

TEST_F(ManyStreams, SixteenStreamsStayApartSurviveEarlyStopsAndLeaveNothingBehind) {
  ASSERT_NO_FATAL_FAILURE(feed_channels());
  listen();
  ASSERT_NO_FATAL_FAILURE(start_all());
  EXPECT_TRUE(group_route_present()) << harness::proc_net_route();

  std::vector<const stream*> all;
  for (const auto& s : streams_) all.push_back(&s);
  ASSERT_TRUE(all_go_on(all, kWarmPackets)) << harness::syslog_dump();

  // One unicast and one multicast stream end first; the group's route stays
  // for the three multicast streams left, and every other stream goes on.
  const stream* unicast = &streams_[0];
  const stream* multicast = &streams_[12];
  ASSERT_TRUE(multicast->multicast);
  stop({unicast, multicast});
  EXPECT_TRUE(group_route_present()) << "the first multicast stream to end took the shared route along";
  std::vector<const stream*> rest;
  for (const auto& s : streams_) {
    if (&s != unicast && &s != multicast) rest.push_back(&s);
  }
  EXPECT_TRUE(all_go_on(rest, kLaterPackets)) << harness::syslog_dump();

  stop(rest);
  collector_.stop();

  EXPECT_FALSE(group_route_present()) << harness::proc_net_route();
  for (const auto& entry : std::filesystem::directory_iterator("/var/run")) {
    EXPECT_EQ(entry.path().filename().string().rfind("avtd_", 0), std::string::npos)
        << "left behind: " << entry.path();
  }
  const session_log log = read_session_log();
  std::multiset<int> removed(log.removed.begin(), log.removed.end());
  for (const auto& s : streams_) EXPECT_EQ(removed.count(s.session), 1u) << "session " << s.session;
  EXPECT_EQ(removed.size(), streams_.size());
  EXPECT_EQ(harness::syslog_count("del_route error"), 0u);
  EXPECT_EQ(harness::syslog_count("add_route error"), 0u);

  check_deliveries();
}

} // namespace
