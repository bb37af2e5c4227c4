#include "helpers/media_log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace media_test {

log_capture::log_capture() {
  char path[] = "/tmp/media-log-XXXXXX";
  file_ = mkstemp(path);
  unlink(path);
  std::fflush(stderr);
  saved_stderr_ = dup(STDERR_FILENO);
  dup2(file_, STDERR_FILENO);
  openlog(nullptr, LOG_PERROR, LOG_USER);
}

log_capture::~log_capture() {
  closelog();
  std::fflush(stderr);
  dup2(saved_stderr_, STDERR_FILENO);
  close(saved_stderr_);
  close(file_);
}

std::vector<std::string> log_capture::lines() const {
  std::string all;
  char chunk[4096];
  for (off_t at = 0;;) {
    const ssize_t n = pread(file_, chunk, sizeof chunk, at);
    if (n <= 0) break;
    all.append(chunk, static_cast<size_t>(n));
    at += n;
  }
  std::vector<std::string> out;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(start, end - start);
    // "ident: message" or "ident[pid]: message"; the ident has no blanks.
    const size_t colon = line.find(": ");
    if (colon != std::string::npos && line.find(' ') > colon) line.erase(0, colon + 2);
    out.push_back(line);
    start = end + 1;
  }
  return out;
}

std::vector<std::string> log_capture::matching(std::string_view text) const {
  std::vector<std::string> out;
  for (auto& line : lines()) {
    if (line.find(text) != std::string::npos) out.push_back(line);
  }
  return out;
}

std::vector<std::string> log_capture::messages() const {
  auto out = lines();
  for (auto& line : out) {
    const size_t number = line.find(" : ");
    if (number == std::string::npos || line.find(' ') < number) continue;
    size_t at = number + 3;
    const size_t digits = at;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
    if (at == digits) continue;
    while (at < line.size() && line[at] == ' ') ++at;
    if (line.compare(at, 2, ": ") == 0) line.erase(number + 3, at + 2 - (number + 3));
  }
  return out;
}

}  // namespace media_test
