#include "helpers/fake_sessiond.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace session_test {

bytes words(std::initializer_list<uint32_t> values) {
  bytes out(values.size() * 4);
  std::memcpy(out.data(), std::data(values), out.size());
  return out;
}

fake_sessiond::fake_sessiond(std::vector<bytes> replies) {
  char dir[] = "/tmp/avtd-sessiond-XXXXXX";
  dir_ = mkdtemp(dir);
  path_ = dir_ + "/session";
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
  EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(listen(listener_, 4), 0);
  thread_ = std::thread([this, replies = std::move(replies)] {
    // Bounded: 100 polls of 50 ms for each connection.
    for (size_t served = 0, polls = 0; !stop_ && served < replies.size() && polls < 100 * replies.size(); ++polls) {
      pollfd pf{listener_, POLLIN, 0};
      if (poll(&pf, 1, 50) <= 0) continue;
      const int fd = accept(listener_, nullptr, nullptr);
      bytes request(256);
      size_t got = 0;
      uint32_t length = 0;
      for (ssize_t n = 1; n > 0 && (got < 4 || got < 4 + length) && got < request.size();) {
        pollfd in{fd, POLLIN, 0};
        n = poll(&in, 1, 2000) == 1 ? recv(fd, request.data() + got, request.size() - got, 0) : 0;
        got += n > 0 ? static_cast<size_t>(n) : 0;
        if (got >= 4) std::memcpy(&length, request.data(), 4);
      }
      request.resize(got);
      requests_.push_back(std::move(request));
      send(fd, replies[served].data(), replies[served].size(), MSG_NOSIGNAL);
      ++served;
      close(fd);
    }
  });
}

fake_sessiond::~fake_sessiond() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  close(listener_);
  unlink(path_.c_str());
  rmdir(dir_.c_str());
}

std::vector<bytes> fake_sessiond::requests() {
  if (thread_.joinable()) thread_.join();
  return requests_;
}

}  // namespace session_test
