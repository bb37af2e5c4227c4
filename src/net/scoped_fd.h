// Owns one descriptor of the network layer's own (probe sockets, route table
// files are FILE* and handled where they are opened).
#pragma once

#include <unistd.h>

namespace net_detail {

class ScopedFd {
 public:
  explicit ScopedFd(int fd) noexcept : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

 private:
  int fd_;
};

} // namespace net_detail
