// Numbers on the command lines of the tools.
#pragma once

#include <cerrno>
#include <cstdlib>

namespace toolkit {

// A decimal whole number within [low, high] that is the whole text.
inline bool parse_whole(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) {
    return false;
  }
  out = v;
  return true;
}

} // namespace toolkit
