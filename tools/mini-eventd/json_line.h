// Building one JSON object on one line.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

class json_line {
 public:
  json_line& str(std::string_view key, std::string_view value) {
    this->key(key);
    quote(value);
    return *this;
  }
  json_line& num(std::string_view key, int64_t value) {
    this->key(key);
    text_ += std::to_string(value);
    return *this;
  }
  // "key":[["a","b"],...] from pairs of strings.
  template <typename Pairs>
  json_line& pairs(std::string_view key, const Pairs& list) {
    this->key(key);
    text_ += '[';
    bool first = true;
    for (const auto& [a, b] : list) {
      text_ += first ? "[" : ",[";
      first = false;
      quote(a);
      text_ += ',';
      quote(b);
      text_ += ']';
    }
    text_ += ']';
    return *this;
  }
  // "key":["a",...]
  template <typename Strings>
  json_line& strings(std::string_view key, const Strings& list) {
    this->key(key);
    text_ += '[';
    bool first = true;
    for (const auto& s : list) {
      if (!first) {
        text_ += ',';
      }
      first = false;
      quote(s);
    }
    text_ += ']';
    return *this;
  }
  json_line& raw(std::string_view key, std::string_view json) {
    this->key(key);
    text_ += json;
    return *this;
  }
  std::string done() const { return text_ + "}\n"; }

 private:
  void key(std::string_view k) {
    text_ += text_.size() == 1 ? "" : ",";
    quote(k);
    text_ += ':';
  }
  void quote(std::string_view s) {
    text_ += '"';
    for (const char c : s) {
      const auto u = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        text_ += '\\';
        text_ += c;
      } else if (c == '\n') {
        text_ += "\\n";
      } else if (u < 0x20) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\u%04x", u);
        text_ += esc;
      } else {
        text_ += c;
      }
    }
    text_ += '"';
  }
  std::string text_ = "{";
};
