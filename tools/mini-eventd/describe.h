// One received message as one JSON line, and what it asks of the service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct request_effect {
  bool subscribe = false;   // a metadata control request with mode 1
  bool unsubscribe = false; // ... with mode 0
  uint32_t endpoint = 0;    // the requesting metadata endpoint
};

std::string describe_message(const unsigned char* msg, size_t size, request_effect* effect);
