#include "harness/files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace harness {
namespace {

constexpr auto kPollStep = std::chrono::milliseconds(2);

} // namespace

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool wait_for_file(const std::string& path, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  struct stat st{};
  while (::lstat(path.c_str(), &st) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  return true;
}

bool wait_file_gone(const std::string& path, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  struct stat st{};
  while (::lstat(path.c_str(), &st) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  return true;
}

void empty_directory(const std::string& dir) {
  struct stat top{};
  if (::lstat(dir.c_str(), &top) != 0) {
    return;
  }
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    return;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(d)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(dir + "/" + name);
    }
  }
  ::closedir(d);
  for (const auto& path : names) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0 || st.st_dev != top.st_dev) {
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      empty_directory(path);
      ::rmdir(path.c_str());
    } else {
      ::unlink(path.c_str());
    }
  }
}

} // namespace harness
