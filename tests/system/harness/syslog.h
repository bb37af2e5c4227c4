// The syslog lines captured at /dev/log since the sandbox was entered.
//
// Matching is on the message part (after "ident[pid]: "), e.g.
//     ASSERT_TRUE(wait_syslog("process is existed"));
//     ASSERT_TRUE(wait_syslog_regex(unit_line("main", "process is existed")));
// The daemon's line numbers change with its source, so unit_line() and
// func_line() match any number where the line number stands.
//
// A line travels through /dev/log to the capture thread, so it can be
// missing for a moment after the call that logged it returned. Every read
// below that is not a wait (lines, messages, counts, mark, dump) therefore
// first sends a marker of its own through /dev/log and waits for it: what
// it sees holds every line sent before the call. A count of 0 is then proof
// of absence once the logging process has passed the point in question
// (it ended, or it logged a later line the test waited for).
#pragma once

#include "avtd-sandbox/syslog_capture.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

using avtd_sandbox::SyslogLine;
using namespace std::chrono_literals;

std::vector<SyslogLine> syslog_lines();

// Waits for a message containing `text`, looking at lines from index `from`
// on (see syslog_mark()).
std::optional<SyslogLine> wait_syslog(std::string_view text, std::chrono::milliseconds timeout = 5s,
                                      size_t from = 0);
// Waits for a message matching the ECMAScript regex (searched, not anchored
// unless the pattern says so).
std::optional<SyslogLine> wait_syslog_regex(const std::string& pattern, std::chrono::milliseconds timeout = 5s,
                                            size_t from = 0);
// Waits until `count` messages contain `text`; returns how many did.
size_t wait_syslog_count(std::string_view text, size_t count, std::chrono::milliseconds timeout = 5s);

// How many messages contain `text` / match the regex, now.
size_t syslog_count(std::string_view text);
size_t syslog_count_regex(const std::string& pattern);

// The number of lines so far: pass it as `from` to wait only for newer ones.
size_t syslog_mark();
void clear_syslog();

// Also append every line from now on to `path` (inside the sandbox).
bool syslog_to_file(const std::string& path);

// Every captured raw line, one per line: for failure messages.
std::string syslog_dump();

// Anchored regex for "unit : <line> : text" (text taken literally).
std::string unit_line(std::string_view unit, std::string_view text);
// Anchored regex for "func line <n> in unit" followed by text (taken literally,
// with its own separator, e.g. " : error" or ": daemon error").
std::string func_line(std::string_view func, std::string_view unit, std::string_view text);
// `text` with every regex special character escaped.
std::string regex_escape(std::string_view text);

} // namespace harness
