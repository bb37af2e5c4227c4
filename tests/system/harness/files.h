// Files in the sandbox: waits for files, reading, clearing.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace harness {

using namespace std::chrono_literals;

// Wait (bounded) for a file to appear / to disappear.
bool wait_for_file(const std::string& path, std::chrono::milliseconds timeout = 5s);
bool wait_file_gone(const std::string& path, std::chrono::milliseconds timeout = 5s);

// The whole content of a file, or nothing if it cannot be read.
std::optional<std::string> read_file(const std::string& path);

// Removes everything below `dir` but `dir` itself; never descends into
// another file system (a checkout bound back into /tmp stays untouched).
void empty_directory(const std::string& dir);

} // namespace harness
