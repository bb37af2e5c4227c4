// The waiting send and receive wrappers, and the whole-buffer send that keeps
// framed packets intact on a stream connection.
#include "net/network.h"
#include "toolkit/net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr timeval kNoWait{0, 0};
constexpr timeval kShort{0, 50000};

// Both ends of a local datagram socket pair.
std::pair<toolkit::Fd, toolkit::Fd> datagram_pair() {
  int fds[2] = {-1, -1};
  socketpair(AF_UNIX, SOCK_DGRAM, 0, fds);
  return {toolkit::Fd(fds[0]), toolkit::Fd(fds[1])};
}

// Fills `fd`'s send path until a non-waiting send would block; returns the
// number of datagrams queued. Bounded by the small buffer it sets.
int fill(int fd) {
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  char chunk[256] = {};
  int queued = 0;
  for (int i = 0; i < 100000; ++i) {
    if (send(fd, chunk, sizeof chunk, MSG_DONTWAIT) < 0) break;
    ++queued;
  }
  return queued;
}

int drain(int fd) {
  char chunk[512];
  int got = 0;
  for (int i = 0; i < 100000; ++i) {
    if (recv(fd, chunk, sizeof chunk, MSG_DONTWAIT) < 0) break;
    ++got;
  }
  return got;
}

void ignore_signal(int) {}

// Installs a handler without SA_RESTART so a signal cuts a wait short.
struct InterruptingSignal {
  struct sigaction old {};
  InterruptingSignal() {
    struct sigaction sa {};
    sa.sa_handler = ignore_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, &old);
  }
  ~InterruptingSignal() { sigaction(SIGUSR1, &old, nullptr); }
};

// A time-out sends nothing and is no error; no wait at all reports the full
// buffer; no limit waits until the reader makes room.
TEST(NetSafeSend, OnAFullSocketTheTimeOutDecidesBetweenZeroFailureAndWaiting) {
  const auto [a, b] = datagram_pair();
  const int queued = fill(a.get());
  ASSERT_GT(queued, 0);
  const char byte = 'x';
  errno = EBADF; // a stale errno must not turn the time-out into an error
  EXPECT_EQ(safe_send(a.get(), &byte, 1, 0, &kShort), 0);
  EXPECT_EQ(safe_send(a.get(), &byte, 1, MSG_DONTWAIT, &kNoWait), -1);
  EXPECT_EQ(errno, EAGAIN);

  std::atomic<bool> sent{false};
  int drained = 0;
  std::thread reader([&] {
    for (int i = 0; i < 50 && !sent.load(); ++i) std::this_thread::sleep_for(10ms);
    drained = drain(b.get());
  });
  EXPECT_EQ(safe_send(a.get(), &byte, 1, 0, nullptr), 1);
  sent = true;
  reader.join();
  EXPECT_EQ(drained + drain(b.get()), queued + 1);
  EXPECT_EQ(safe_send(a.get(), &byte, 1, 0, &kNoWait), 1);
}

TEST(NetSafeSend, ClosedOrMissingDescriptorFailsWithEbadfWhetherWaitingOrNot) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  close(fd);
  const char byte = 'x';
  for (const int bad : {fd, -1}) {
    for (const timeval* t : {&kShort, &kNoWait, static_cast<const timeval*>(nullptr)}) {
      errno = 0;
      EXPECT_EQ(safe_send(bad, &byte, 1, 0, t), -1);
      EXPECT_EQ(errno, EBADF);
    }
  }
}

TEST(NetSafeRecvfrom, TimeOutOrEmptyPollReturnsZeroAndADatagramReturnsItsLengthAndSender) {
  sockaddr_storage rxa{};
  sockaddr_storage txa{};
  toolkit::Fd receiver = toolkit::loopback_udp(AF_INET, &rxa);
  toolkit::Fd sender = toolkit::loopback_udp(AF_INET, &txa);
  ASSERT_TRUE(receiver && sender);
  const int rx = receiver.get();
  const int tx = sender.get();
  auto& a = reinterpret_cast<sockaddr_in&>(rxa);

  char buf[1500];
  sockaddr_in from{};
  EXPECT_EQ(safe_recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), sizeof from, &kShort), 0);
  EXPECT_EQ(safe_recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), sizeof from, &kNoWait), 0);

  ASSERT_EQ(sendto(tx, "keep", 4, 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 4);

  const timeval wait{5, 0};
  EXPECT_EQ(safe_recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), sizeof from, &wait), 4);
  EXPECT_EQ(std::memcmp(buf, "keep", 4), 0);
  EXPECT_EQ(from.sin_port, reinterpret_cast<const sockaddr_in&>(txa).sin_port);

  // No source buffer at all is fine too.
  ASSERT_EQ(sendto(tx, "k", 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 1);
  EXPECT_EQ(safe_recvfrom(rx, buf, sizeof buf, 0, nullptr, 0, &wait), 1);

  sender.reset();
  receiver.reset();
  errno = 0;
  EXPECT_EQ(safe_recvfrom(rx, buf, sizeof buf, 0, nullptr, 0, &kNoWait), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(NetSafeRecvfrom, ASignalDuringTheWaitNeitherFailsNorEndsItEarly) {
  InterruptingSignal handler;
  const auto [a, b] = datagram_pair();
  const pthread_t waiter = pthread_self();
  std::atomic<bool> done{false};
  // Interrupt the wait a few times, then deliver the datagram.
  std::thread poker([&] {
    for (int i = 0; i < 5 && !done.load(); ++i) {
      std::this_thread::sleep_for(10ms);
      pthread_kill(waiter, SIGUSR1);
    }
    send(b.get(), "late", 4, 0);
  });
  char buf[16];
  EXPECT_EQ(safe_recvfrom(a.get(), buf, sizeof buf, 0, nullptr, 0, nullptr), 4);
  done = true;
  poker.join();

  // With a limit, interrupted waits still end in the time-out result.
  std::thread poker2([&] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(5ms);
      pthread_kill(waiter, SIGUSR1);
    }
  });
  const timeval t{0, 100000};
  EXPECT_EQ(safe_recvfrom(a.get(), buf, sizeof buf, 0, nullptr, 0, &t), 0);
  poker2.join();
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return v;
}

// A slow reader gets every byte through the interleaved connection's tests,
// which send through this loop.
TEST(NetSendAllWithin, AStalledReaderEndsTheSendAtTheTimeOutWithTheCountActuallySent) {
  const toolkit::TcpLink link = toolkit::loopback_tcp_link(4096);
  ASSERT_TRUE(link.receiver);
  auto data = pattern(4 * 1024 * 1024);
  const iovec part{data.data(), data.size()};
  errno = 0;
  const size_t sent = send_all_within(link.sender.get(), std::span(&part, 1), 200);
  EXPECT_EQ(errno, ETIMEDOUT);
  ASSERT_GT(sent, 0u);
  ASSERT_LT(sent, data.size());

  // Exactly the reported prefix is on the connection, nothing after it.
  shutdown(link.sender.get(), SHUT_WR);
  std::vector<uint8_t> got;
  uint8_t chunk[65536];
  for (int i = 0; i < 100000; ++i) {
    const ssize_t n = recv(link.receiver.get(), chunk, sizeof chunk, 0);
    if (n <= 0) break;
    got.insert(got.end(), chunk, chunk + n);
  }
  ASSERT_EQ(got.size(), sent);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
}

TEST(NetSendAllWithin, ClosedPeerOrDescriptorFailsWithoutASignal) {
  auto packet = pattern(1500);
  const iovec part{packet.data(), packet.size()};
  toolkit::TcpLink gone = toolkit::loopback_tcp_link(4096);
  gone.receiver.reset();
  size_t sent = packet.size();
  for (int i = 0; i < 10 && sent == packet.size(); ++i) sent = send_all_within(gone.sender.get(), std::span(&part, 1), 100);
  EXPECT_LT(sent, packet.size());
  EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
  EXPECT_EQ(send_all_within(-1, std::span(&part, 1), 100), 0u);
  EXPECT_EQ(errno, EBADF);
}

} // namespace
