#include "support/command_line.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr int kExitUsage = 2;
}

std::string unparsed_option(char* const argv[], const option* options) {
  const char* text = argv[optind - 1];
  if (std::strncmp(text, "--", 2) != 0) {
    // A short option: getopt names its letter; optind may still point at it.
    return optopt != 0 ? std::string("unknown option -") + static_cast<char>(optopt)
                       : std::string("unknown option ") + text;
  }
  const std::string_view given = std::string_view(text + 2).substr(0, std::strcspn(text + 2, "="));
  const option* match = nullptr;
  int matches = 0;
  for (const option* o = options; o->name != nullptr; ++o) {
    if (given == o->name) {
      match = o;
      matches = 1;
      break;
    }
    if (std::string_view(o->name).substr(0, given.size()) == given) {
      match = o;
      ++matches;
    }
  }
  if (matches == 0) return std::string("unknown option ") + text;
  if (matches > 1) return std::string("ambiguous option ") + text;
  return std::string("option --") + match->name +
         (match->has_arg == required_argument ? " needs a value" : " takes no value");
}

int show_help(const char* usage) {
  std::fputs(usage, stdout);
  std::fflush(stdout);
  return 0;
}

int refuse_command_line(const char* tool, std::string_view why, const char* usage) {
  std::fprintf(stderr, "%s: %.*s\n%s", tool, static_cast<int>(why.size()), why.data(), usage);
  std::fflush(stderr);
  return kExitUsage;
}
