// Running a helper command (ip, sysctl-like writes) during sandbox set-up.
#pragma once

#include <string>
#include <vector>

namespace avtd_sandbox {

struct ToolResult {
  int status = -1;    // exit code; 128 + signal when killed; -1 if it could not run or hung
  std::string output; // standard output and standard error together
};

// Runs argv[0] (searched in PATH) to completion, at most ten seconds.
ToolResult run_tool(const std::vector<std::string>& argv);

// Joins argv with blanks, for messages.
std::string join_args(const std::vector<std::string>& argv);

// Writes text to a file that must already exist (/proc/sys entries).
bool write_file(const std::string& path, const std::string& text);

} // namespace avtd_sandbox
