// The session daemon's answers on "/tmp/session": one request in, one reply
// out. What the daemon does with a request (the ids it hands out, what it
// keeps) is its policy's; the wire format and the optional JSON line per
// request are shared by every session daemon of ours.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "platform/session.h"

class session_policy {
 public:
  virtual ~session_policy() = default;
  // The new session's id, or -1 to refuse it.
  virtual int add(const session_info& info) = 0;
  // False when the session is not known.
  virtual bool update(int session_id, uint32_t bitrate_kbps) = 0;
  virtual bool remove(int session_id) = 0;
  // Decimal text of the frame rate for the process `asker` (0: unknown).
  virtual std::string framerate(pid_t asker) = 0;
};

class session_registry {
 public:
  // log may be null: nothing is logged.
  session_registry(session_policy& policy, FILE* log) : policy_(policy), log_(log) {}

  // Answers one request (code and body of the wire format) from process
  // `asker` and appends the whole reply, length field included, to reply.
  void handle(uint32_t code, std::span<const unsigned char> body, pid_t asker, std::vector<unsigned char>& reply);

 private:
  void log_line(const std::string& line);

  session_policy& policy_;
  FILE* log_;
};

// JSON string literal of text (quotes included), escaping what JSON needs.
std::string json_string(const char* text, size_t max_len);
// Shortest decimal text of a float that reads back as the same value.
std::string json_number(float value);
