// Captures every datagram sent to a syslog socket, with its arrival time.
//
// A syslog datagram looks like "<27>Dec  6 11:16:00 avtd[42]: main : 123 : text";
// `message` is the part after the "ident: " (or "ident[pid]: ") prefix.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace avtd_sandbox {

struct SyslogLine {
  std::chrono::steady_clock::time_point at;
  std::string raw;     // the datagram without trailing newline / NUL
  std::string message; // the text after the ident prefix
};

// The message part of a raw syslog line (RFC 3164 as the C library sends it,
// or RFC 5424 as logger may); the whole line if no prefix is recognised.
std::string syslog_message(std::string_view raw);

class SyslogCapture {
 public:
  SyslogCapture() = default;
  ~SyslogCapture();
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  // Binds a datagram socket at `path` (replacing a stale one) and starts the
  // capture thread. Returns an empty string or the reason it failed.
  std::string start(const std::string& path);
  void stop();

  // Also append every line (raw, one per line) to this descriptor as it
  // arrives; -1 stops. The descriptor stays owned by the caller.
  void copy_to_fd(int fd);
  // Opens (append, create) `path` and copies into it; false if it cannot.
  bool copy_to_file(const std::string& path);

  std::vector<SyslogLine> lines() const;
  size_t size() const;
  void clear();

  // Returns once every datagram sent to the socket before the call has been
  // captured (false if that took longer than `timeout`): a marker datagram of
  // our own queues behind them and is waited for. Markers are not lines.
  bool sync(std::chrono::milliseconds timeout) const;

  // Waits until a line at index >= `from` satisfies `match`; returns it, or
  // nothing once `timeout` passed.
  std::optional<SyslogLine> wait_for(const std::function<bool(const SyslogLine&)>& match,
                                     std::chrono::milliseconds timeout, size_t from = 0) const;
  // Waits until at least `count` lines satisfy `match`; returns how many did.
  size_t wait_count(const std::function<bool(const SyslogLine&)>& match, size_t count,
                    std::chrono::milliseconds timeout) const;

 private:
  void run();

  std::string path_;
  int sock_ = -1;
  int stop_fd_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<SyslogLine> lines_;
  mutable uint64_t syncs_sent_ = 0;
  uint64_t syncs_seen_ = 0;
  int copy_fd_ = -1;
  int owned_copy_fd_ = -1;
};

} // namespace avtd_sandbox
