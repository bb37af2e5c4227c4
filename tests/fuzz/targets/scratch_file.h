// A file with a path of its own, for the readers that open files by name:
// each input becomes the file's whole content. It lives in a private
// directory on tmpfs where there is one, and goes with the process.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <span>

#include "fuzz_support.h"

class fuzz_scratch_file {
 public:
  explicit fuzz_scratch_file(const char* name) {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(dir_, sizeof dir_, "%s/avtd-fuzz-XXXXXX", base);
    FUZZ_EXPECT(::mkdtemp(dir_) != nullptr);
    std::snprintf(path_, sizeof path_, "%s/%s", dir_, name);
  }
  ~fuzz_scratch_file() {
    ::unlink(path_);
    ::rmdir(dir_);
  }
  fuzz_scratch_file(const fuzz_scratch_file&) = delete;
  fuzz_scratch_file& operator=(const fuzz_scratch_file&) = delete;

  const char* path() const { return path_; }

  void fill(std::span<const uint8_t> content) {
    const int fd = ::open(path_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    FUZZ_EXPECT(fd >= 0);
    size_t written = 0;
    while (written < content.size()) {
      const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
      FUZZ_EXPECT(n > 0);
      written += static_cast<size_t>(n);
    }
    ::close(fd);
  }

 private:
  char dir_[64] = {};
  char path_[96] = {};
};
