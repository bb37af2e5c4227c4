// Event IPC test environment: a private directory for the address file (the
// real one of a running system is never touched), raw peers that feed bytes
// to a listening endpoint, and message builders and readers.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "event/ipc_defs.h"

namespace ipc_test {

using bytes = std::vector<unsigned char>;

// Creates a fresh directory, points the library at it and, unless `family`
// is 0, writes the address file's family line as the event service does.
class ipc_dir {
 public:
  explicit ipc_dir(int family = AF_INET);
  ~ipc_dir();
  ipc_dir(const ipc_dir&) = delete;
  ipc_dir& operator=(const ipc_dir&) = delete;

  const std::string& path() const { return path_; }
  std::string address_file() const { return path_ + "/onvif_ipc_sockd"; }
  std::string read_address_file() const;
  void write_address_file(std::string_view text) const;

 private:
  std::string path_;
};

// A listening endpoint that is closed at the end of the scope.
class listener {
 public:
  explicit listener(uint32_t id);
  ~listener();
  listener(const listener&) = delete;
  listener& operator=(const listener&) = delete;
  ipc_handle handle() const { return handle_; }
  int open_result() const { return result_; }
  // The next message sent here (a failed expectation when none comes).
  bytes next() const;
  // True when no connection arrives within a short wait.
  bool idle() const;

 private:
  ipc_handle handle_ = 0;
  int result_ = 0;
};

// A message of max(length, 20) zero bytes whose header announces `length`.
bytes message(uint32_t type, uint32_t source_id, uint32_t dest_id, uint32_t length, uint32_t param = 0);

// A 32768-byte message whose text length word sits at `length_offset`, the
// text right after it; `announced` may lie about the text's length.
bytes text_message(uint32_t type, uint32_t source_id, uint32_t dest_id, size_t length_offset,
                   const std::string& text, uint32_t announced);
// The text of such a message, as long as its length word says.
std::string text_of(const bytes& msg, size_t length_offset);

// A raw peer in a thread: connects, writes each piece (pausing pause_ms
// between pieces), then stays connected for linger_ms and closes.
class raw_peer {
 public:
  raw_peer(ipc_handle listening, std::vector<bytes> pieces, int pause_ms = 0, int linger_ms = 0);
  ~raw_peer();
  raw_peer(const raw_peer&) = delete;
  raw_peer& operator=(const raw_peer&) = delete;

 private:
  std::thread thread_;
};

// Waits up to wait_ms for a connection, then IPC_iReceive with `capacity`.
// On success *msg holds the message (its header's length bytes).
int receive(ipc_handle listening, bytes* msg, uint32_t capacity = kIpcMaxMessage, int wait_ms = 3000);

// Opens a connection to `id`, sends `msg` as it is and closes.
int send_to(uint32_t id, bytes msg);

}  // namespace ipc_test
