// A session daemon stand-in on a private socket path, for the replies a
// well-behaved one never gives (refusals, short or missing answers).
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace session_test {

using bytes = std::vector<uint8_t>;

// Native-order words, as the session wire carries them.
bytes words(std::initializer_list<uint32_t> values);

// Answers each connection, after reading one whole request (its length word
// and that many bytes), with the next of `replies`, then closes it.
class fake_sessiond {
 public:
  explicit fake_sessiond(std::vector<bytes> replies);
  ~fake_sessiond();
  fake_sessiond(const fake_sessiond&) = delete;
  fake_sessiond& operator=(const fake_sessiond&) = delete;
  const char* path() const { return path_.c_str(); }
  // The requests read, once every reply went out.
  std::vector<bytes> requests();

 private:
  std::string dir_;
  std::string path_;
  int listener_ = -1;
  std::vector<bytes> requests_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace session_test
