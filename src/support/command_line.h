// Command-line manners shared by the daemon and the tools.
//
// A tool's --help prints its whole usage on standard output and ends with
// status 0; a command line it cannot take ends with one line saying why,
// then the usage, on standard error, status 2:
//     case kHelp: return show_help(kUsage);
//     default:    return refuse_command_line("mini-evman", unparsed_option(argv, kOptions), kUsage);
// (The daemon keeps its own rules for --help, but says what it could not
// take in the same words.)
#pragma once

#include <getopt.h>

#include <string>
#include <string_view>

// What getopt_long (with opterr 0 and no short options of its own) stopped
// at, in words: "unknown option --bogus", "ambiguous option --d",
// "option --log needs a value", "option --refuse takes no value".
std::string unparsed_option(char* const argv[], const option* options);

// Writes `usage` to standard output; returns 0.
int show_help(const char* usage);

// Writes "<tool>: <why>" and `usage` to standard error; returns 2, the
// status of a command line refused.
int refuse_command_line(const char* tool, std::string_view why, const char* usage);
