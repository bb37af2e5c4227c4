#include "harness/syslog.h"

#include "avtd-sandbox/sandbox.h"

#include <gtest/gtest.h>

#include <regex>

namespace harness {
namespace {

constexpr std::chrono::milliseconds kSettleTimeout = 10s;

avtd_sandbox::SyslogCapture& capture() {
  return avtd_sandbox::captured_syslog();
}

// The capture, caught up with every line sent before this call.
avtd_sandbox::SyslogCapture& settled() {
  auto& c = capture();
  if (!c.sync(kSettleTimeout)) {
    ADD_FAILURE() << "the syslog capture did not catch up within " << kSettleTimeout.count() << " ms";
  }
  return c;
}

} // namespace

std::vector<SyslogLine> syslog_lines() {
  return settled().lines();
}

std::optional<SyslogLine> wait_syslog(std::string_view text, std::chrono::milliseconds timeout, size_t from) {
  return capture().wait_for(
      [text](const SyslogLine& line) { return line.message.find(text) != std::string::npos; }, timeout, from);
}

std::optional<SyslogLine> wait_syslog_regex(const std::string& pattern, std::chrono::milliseconds timeout,
                                            size_t from) {
  const std::regex re(pattern);
  return capture().wait_for([&re](const SyslogLine& line) { return std::regex_search(line.message, re); },
                            timeout, from);
}

size_t wait_syslog_count(std::string_view text, size_t count, std::chrono::milliseconds timeout) {
  return capture().wait_count(
      [text](const SyslogLine& line) { return line.message.find(text) != std::string::npos; }, count, timeout);
}

size_t syslog_count(std::string_view text) {
  size_t count = 0;
  for (const auto& line : settled().lines()) {
    count += line.message.find(text) != std::string::npos ? 1 : 0;
  }
  return count;
}

size_t syslog_count_regex(const std::string& pattern) {
  const std::regex re(pattern);
  size_t count = 0;
  for (const auto& line : settled().lines()) {
    count += std::regex_search(line.message, re) ? 1 : 0;
  }
  return count;
}

size_t syslog_mark() {
  return settled().size();
}

void clear_syslog() {
  capture().clear();
}

bool syslog_to_file(const std::string& path) {
  return capture().copy_to_file(path);
}

std::string syslog_dump() {
  std::string text;
  for (const auto& line : settled().lines()) {
    text += line.raw;
    text += '\n';
  }
  return text;
}

std::string regex_escape(std::string_view text) {
  static constexpr std::string_view kSpecial = R"(\^$.|?*+()[]{})";
  std::string out;
  for (char c : text) {
    if (kSpecial.find(c) != std::string_view::npos) {
      out += '\\';
    }
    out += c;
  }
  return out;
}

std::string unit_line(std::string_view unit, std::string_view text) {
  return "^" + regex_escape(unit) + " : [0-9]+ : " + regex_escape(text) + "$";
}

std::string func_line(std::string_view func, std::string_view unit, std::string_view text) {
  return "^" + regex_escape(func) + " line [0-9]+ in " + regex_escape(unit) + regex_escape(text) + "$";
}

} // namespace harness
