#include "harness/paths.h"

namespace harness {

std::string bin(std::string_view name) {
  return std::string(AVTD_BIN_DIR) + "/" + std::string(name);
}

std::string source_path(std::string_view relative) {
  return std::string(AVTD_SOURCE_DIR) + "/" + std::string(relative);
}

} // namespace harness
