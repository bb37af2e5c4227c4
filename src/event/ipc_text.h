// Reading the newline-terminated text of a received message without ever
// looking past it.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

class ipc_line_reader {
 public:
  ipc_line_reader(const unsigned char* text, size_t length)
      : rest_(reinterpret_cast<const char*>(text), length) {}

  // The next line without its newline. false at the end of the text, and for
  // a last line without a newline.
  bool next(std::string_view* line) {
    const size_t end = rest_.find('\n');
    if (end == std::string_view::npos) {
      return false;
    }
    *line = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    return true;
  }

  bool at_end() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

// Copies a line into a C string field of `field_size` bytes; false when it
// does not fit with its terminator or holds a NUL byte (it would not read
// back as the same string).
inline bool ipc_copy_line(std::string_view line, char* field, size_t field_size) {
  if (line.size() >= field_size || line.find('\0') != std::string_view::npos) {
    return false;
  }
  std::memcpy(field, line.data(), line.size());
  field[line.size()] = '\0';
  return true;
}

// A non-negative decimal number of at most nine digits, nothing else.
inline bool ipc_parse_count(std::string_view text, int* value) {
  if (text.empty() || text.size() > 9) {
    return false;
  }
  int v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}
