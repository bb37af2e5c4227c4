// Captures what the code under test sends to syslog: the messages are also
// written to standard error (LOG_PERROR), which is redirected to a file for
// the capture's lifetime.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace media_test {

class log_capture {
 public:
  log_capture();
  ~log_capture();
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;

  // Messages so far, without the "ident: " prefix, one per line.
  std::vector<std::string> lines() const;
  // Messages that contain `text`.
  std::vector<std::string> matching(std::string_view text) const;
  // lines() with the source line number of "unit : <line> : text" left out
  // ("unit : text"), so that whole messages can be compared.
  std::vector<std::string> messages() const;

 private:
  int saved_stderr_ = -1;
  int file_ = -1;
};

}  // namespace media_test
