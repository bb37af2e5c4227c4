// The command line: every stream parameter comes from it.
#pragma once

#include <span>
#include <string>
#include <string_view>

struct rtp_thread;
struct rtcp_thread;

// Fills both records from the long options. 0 when the command line is
// complete and valid, -1 otherwise (after its message and, for some
// refusals, the usage text). Never exits. The records must hold their
// defaults already (session_id -1, the RTCP interleaved channel 1).
// A refusal is also explained in one line on standard error. `foreground`,
// when given, is set by --foreground.
int analyze_options(int argc, char* argv[], rtp_thread* thread, rtcp_thread* rtcp, bool* foreground = nullptr);

// One long option: its name, the value it takes ("" for a flag), what it
// means with its range and default, and whether it is required.
struct stream_option {
  const char* name;
  const char* value;
  const char* text;
  bool required;
};
// Every option the parser accepts, in the order the usage text lists them.
std::span<const stream_option> stream_options();

// Why the daemon refuses `value` for the long option `name`, in a person's
// words ("invalid host [camera.local]: not an IPv4 or IPv6 address ..."),
// or empty when it takes it: for tools that must take what the daemon takes.
std::string stream_option_refusal(std::string_view name, const char* value);

// The usage text on standard error, flushed.
void show_usage(char* argv[]);

// The syslog mask the command line chose (all priorities unless --log).
int chosen_log_mask();
