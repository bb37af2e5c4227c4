#include "media/frame_rate_query.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "helpers/media_log.h"

namespace {

// A session daemon stand-in that answers one connection with `reply`.
class fake_sessiond {
 public:
  explicit fake_sessiond(std::vector<uint8_t> reply) : reply_(std::move(reply)) {
    char dir[] = "/tmp/media-sessiond-XXXXXX";
    dir_ = mkdtemp(dir);
    path_ = dir_ + "/session";
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener_, 1);
    server_ = std::thread([this] { serve(); });
  }
  ~fake_sessiond() {
    if (server_.joinable()) server_.join();
    close(listener_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const char* path() const { return path_.c_str(); }
  // The two words the client sent, once the exchange is over.
  std::vector<uint32_t> request() {
    server_.join();
    return request_;
  }

 private:
  void serve() {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;
    const int fd = accept(listener_, nullptr, nullptr);
    uint32_t words[2] = {};
    if (recv(fd, words, sizeof words, MSG_WAITALL) == sizeof words) request_.assign(words, words + 2);
    if (!reply_.empty()) send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    close(fd);
  }

  std::vector<uint8_t> reply_;
  std::string dir_;
  std::string path_;
  int listener_ = -1;
  std::vector<uint32_t> request_;
  std::thread server_;
};

// The length word (native order) and then `text`.
std::vector<uint8_t> reply_of(uint32_t length, const std::string& text) {
  std::vector<uint8_t> out(4 + text.size());
  std::memcpy(out.data(), &length, 4);
  std::memcpy(out.data() + 4, text.data(), text.size());
  return out;
}

TEST(SessionFrameRate, AsksWithCode39AndReadsTheDecimalReplyOrFallsBackToThirty) {
  const struct {
    const char* name;
    std::vector<uint8_t> reply;
    int rate;
  } cases[] = {
      {"25", reply_of(2, "25"), 25},
      {"-5", reply_of(2, "-5"), -5},
      {"closed at once", {}, kDefaultSessionRate},
      // An announced reply far longer than any number is not read at all.
      {"huge length", reply_of(1u << 30, "25"), kDefaultSessionRate},
      {"text shorter than announced", reply_of(4, "25"), kDefaultSessionRate},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_sessiond sessiond(c.reply);
    EXPECT_EQ(query_session_frame_rate("vx_jpeg_rtp", sessiond.path()), c.rate);
    EXPECT_EQ(sessiond.request(), (std::vector<uint32_t>{4, 39}));
  }
}

TEST(SessionFrameRate, UnreachableDaemonMeansThirtyAndIsLogged) {
  media_test::log_capture log;
  EXPECT_EQ(query_session_frame_rate("vx_jpeg_rtp", "/nonexistent/session"), kDefaultSessionRate);
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{"vx_jpeg_rtp : connect sessiond error(No such file or directory)"});
}

}  // namespace
