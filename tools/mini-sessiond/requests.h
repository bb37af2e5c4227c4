// The stand-in session daemon's answers: one request in, one reply out,
// one JSON line per request to the log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

struct sessiond_config {
  std::string framerate = "30"; // the frame-rate reply, as decimal text
  bool refuse = false;          // refuse every registration
};

class session_registry {
public:
  session_registry(sessiond_config config, FILE* log) : config_(std::move(config)), log_(log) {}

  // Answers one request (code and body of the wire format) and appends the
  // whole reply, length field included, to reply.
  void handle(uint32_t code, std::span<const unsigned char> body, std::vector<unsigned char>& reply);

private:
  void log_line(const std::string& line);

  sessiond_config config_;
  FILE* log_;
  int next_id_ = 1;
  std::vector<int> live_;
};

// JSON string literal of text (quotes included), escaping what JSON needs.
std::string json_string(const char* text, size_t max_len);
// Shortest decimal text of a float that reads back as the same value.
std::string json_number(float value);
