// Where the built programs and the source tree are.
#pragma once

#include <string>
#include <string_view>

namespace harness {

// Full path of a built executable, e.g. bin("avtd") -> ".../build/bin/avtd".
std::string bin(std::string_view name);

// Full path of a file in the source tree, e.g. source_path("tests/data/x.h264").
std::string source_path(std::string_view relative);

} // namespace harness
