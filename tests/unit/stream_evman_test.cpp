// The network-state notice: its bytes, and what counts as delivered.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "helpers/stream_wire.h"
#include "stream/evman_notice.h"

using stream_test::bytes;
using stream_test::read_stream;

namespace {

// Takes one notice on a private path and answers it or not; returns its bytes.
bytes exchange(int state, bool reply, int& result) {
  char dir[] = "/tmp/avtd-evman-XXXXXX";
  const std::string path = std::string(mkdtemp(dir)) + "/localrec";
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 1);
  std::thread sender([&] { result = notify_evman_at(path.c_str(), state); });
  pollfd ready{listener, POLLIN, 0};
  const int c = poll(&ready, 1, 5000) == 1 ? accept(listener, nullptr, nullptr) : -1;
  const bytes got = read_stream(c, sizeof(evman_msg), 2000);
  if (reply) (void)!write(c, "ok", 2);
  close(c);
  sender.join();
  close(listener);
  unlink(path.c_str());
  rmdir(dir);
  return got;
}

bytes notice_bytes(int32_t state) {
  bytes v(1012, 0);
  const int32_t words[3] = {7, 15, state};
  std::memcpy(v.data(), words, sizeof words);
  return v;
}

} // namespace

TEST(EvmanNotice, CarriesWords7And15AndTheStateIn1012BytesAndRecordsTheDeliveredState) {
  std::signal(SIGPIPE, SIG_IGN);
  int result = -2;
  net_error_notified.store(0);
  EXPECT_EQ(exchange(5, true, result), notice_bytes(1)) << "any non-zero state is sent as 1";
  EXPECT_EQ(result, 0);
  EXPECT_EQ(net_error_notified.load(), 1);
  EXPECT_EQ(exchange(0, false, result), notice_bytes(0)) << "closed without a reply: still delivered";
  EXPECT_EQ(result, 0);
  EXPECT_EQ(net_error_notified.load(), 0);

  // Unreachable: the state stays for the next try.
  for (const int state : {1, 0}) {
    net_error_notified.store(1 - state);
    EXPECT_EQ(notify_evman_at("/tmp/avtd-no-such-evman/localrec", state), -1);
    EXPECT_EQ(net_error_notified.load(), 1 - state);
  }
}
