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

#include "stream/evman_notice.h"

namespace {

// A one-shot event manager on a private path.
class evman_stub {
 public:
  explicit evman_stub(bool reply) : reply_(reply) {
    char tmpl[] = "/tmp/avtd-evman-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/localrec";
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 4);
    server_ = std::thread([this] { serve(); });
  }
  ~evman_stub() {
    finish();
    close(fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const char* path() const { return path_.c_str(); }
  // Waits for the one exchange to end; then received() is complete.
  void finish() {
    if (server_.joinable()) server_.join();
  }
  const std::vector<uint8_t>& received() const { return received_; }

 private:
  void serve() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;
    const int c = accept(fd_, nullptr, nullptr);
    uint8_t buf[2048];
    while (received_.size() < sizeof(evman_msg)) {
      pollfd q{c, POLLIN, 0};
      if (poll(&q, 1, 2000) != 1) break;
      const ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      received_.insert(received_.end(), buf, buf + n);
    }
    if (reply_) (void)!write(c, "ok", 2);
    close(c);
  }
  bool reply_;
  std::string dir_, path_;
  int fd_ = -1;
  std::vector<uint8_t> received_;
  std::thread server_;
};

std::vector<uint8_t> notice_bytes(int32_t state) {
  std::vector<uint8_t> v(1012, 0);
  const int32_t words[3] = {7, 15, state};
  std::memcpy(v.data(), words, sizeof words);
  return v;
}

} // namespace

TEST(EvmanNotice, CarriesWords7And15AndTheStateIn1012BytesAndRecordsTheDeliveredState) {
  std::signal(SIGPIPE, SIG_IGN);
  net_error_notified.store(0);
  {
    evman_stub evman(true);
    ASSERT_EQ(notify_evman_at(evman.path(), 5), 0);
    evman.finish();
    EXPECT_EQ(evman.received(), notice_bytes(1)) << "any non-zero state is sent as 1";
    EXPECT_EQ(net_error_notified.load(), 1);
  }
  {
    evman_stub evman(false); // closes without a reply: still delivered
    ASSERT_EQ(notify_evman_at(evman.path(), 0), 0);
    evman.finish();
    EXPECT_EQ(evman.received(), notice_bytes(0));
    EXPECT_EQ(net_error_notified.load(), 0);
  }
}

TEST(EvmanNotice, UnreachableEventManagerLeavesTheStateForTheNextTry) {
  net_error_notified.store(0);
  EXPECT_EQ(notify_evman_at("/tmp/avtd-no-such-evman/localrec", 1), -1);
  EXPECT_EQ(net_error_notified.load(), 0);
  net_error_notified.store(1);
  EXPECT_EQ(notify_evman_at("/tmp/avtd-no-such-evman/localrec", 0), -1);
  EXPECT_EQ(net_error_notified.load(), 1);
}
