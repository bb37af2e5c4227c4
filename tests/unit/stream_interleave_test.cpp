// The interleaved TCP connection shared by the stream and RTCP threads: every
// '$' frame arrives whole even when the reader is slow, and a frame that
// cannot be finished does not leave the receiver misframed.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "helpers/stream_fake_source.h"
#include "helpers/stream_wire.h"
#include "stream/interleave.h"
#include "toolkit/net.h"

using namespace stream_test;
using namespace std::chrono_literals;

namespace {

// A loopback TCP connection with the smallest buffers the kernel allows; the
// sender is let go of through the interleaved connection, as the threads do.
struct slow_tcp {
  toolkit::TcpLink tcp = toolkit::loopback_tcp_link(1024);
  int sender = tcp.sender.release();
  int receiver = tcp.receiver.get();
  slow_tcp() { interleave_reset(); }
  ~slow_tcp() { interleave_close(sender); }
};

// Reads in small pieces with pauses until `limit` bytes arrived or `wait_ms`
// pass without data.
bytes read_slowly(int fd, size_t limit, int wait_ms) {
  bytes got;
  uint8_t buf[300];
  for (size_t i = 0; got.size() < limit && i < 100000; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) break;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
    if (i % 8 == 0) std::this_thread::sleep_for(1ms);
  }
  return got;
}

ssize_t send_frame(int fd, int channel, const bytes& body, int timeout_ms = kInterleaveSendTimeoutMs) {
  uint8_t prefix[4] = {'$', static_cast<uint8_t>(channel), static_cast<uint8_t>(body.size() >> 8),
                       static_cast<uint8_t>(body.size())};
  const iovec parts[2] = {{prefix, 4}, {const_cast<uint8_t*>(body.data()), body.size()}};
  return interleave_send(fd, parts, timeout_ms);
}

} // namespace

TEST(Interleave, TwoWritersAndASlowReaderStillGiveWholeFramesInOrder) {
  slow_tcp link;
  // Media frames several times the socket buffers, so that each one waits
  // for room part-way; the reports arrive while it waits.
  constexpr int kFrames = 100;
  constexpr size_t kMedia = 9000;
  auto writer = [&](int channel, size_t size) {
    for (int i = 0; i < kFrames; ++i) {
      ASSERT_EQ(send_frame(link.sender, channel, pattern(size, static_cast<uint8_t>(i))),
                static_cast<ssize_t>(size + 4));
    }
  };
  std::thread media(writer, 0, kMedia);
  std::thread reports(writer, 1, 28);
  const bytes stream = read_slowly(link.receiver, kFrames * (kMedia + 4 + 32), 3000);
  media.join();
  reports.join();

  // Whole frames back to back, each channel's in the order written.
  int next[2] = {0, 0};
  size_t at = 0;
  for (size_t len = 0; at + 4 <= stream.size(); at += 4 + len) {
    ASSERT_EQ(stream[at], '$') << "byte " << at;
    const int channel = stream[at + 1];
    ASSERT_LT(channel, 2);
    len = static_cast<size_t>(stream[at + 2]) << 8 | stream[at + 3];
    const auto end = stream.begin() + static_cast<long>(std::min(at + 4 + len, stream.size()));
    const bytes body(stream.begin() + static_cast<long>(at + 4), end);
    EXPECT_EQ(body, pattern(channel == 0 ? kMedia : 28, static_cast<uint8_t>(next[channel]++)));
  }
  EXPECT_EQ(at, stream.size());
  EXPECT_EQ(next[0], kFrames);
  EXPECT_EQ(next[1], kFrames);
}

TEST(Interleave, FrameCutShortByTheTimeoutShutsTheConnectionInsteadOfMisframingIt) {
  slow_tcp link; // nobody reads
  // A frame larger than both buffers together goes out in part at most.
  errno = 0;
  EXPECT_EQ(send_frame(link.sender, 0, pattern(60000), 100), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_EQ(send_frame(link.sender, 0, pattern(10), 100), -1) << "the connection was shut down";
  // The receiver gets the start of the cut frame, then the end of the connection.
  const bytes got = read_stream(link.receiver, 1 << 20, 2000);
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), 60004u);
}
