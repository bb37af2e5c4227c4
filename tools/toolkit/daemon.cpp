#include "toolkit/daemon.h"

#include "toolkit/process.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace toolkit {
namespace {

constexpr int kLastVideoChannel = 3;
constexpr int kAudioChannel = 3;
constexpr int kMetadataChannel = 4;
constexpr int kClipAttempts = 3;

// The value of "--name=value" in args (the last one wins), or nothing.
std::string_view option(const std::vector<std::string>& args, std::string_view name) {
  std::string_view value;
  for (const auto& arg : args) {
    if (arg.size() > name.size() + 3 && arg.compare(0, 2, "--") == 0 && arg.compare(2, name.size(), name) == 0 &&
        arg[2 + name.size()] == '=') {
      value = std::string_view(arg).substr(3 + name.size());
    }
  }
  return value;
}

} // namespace

std::string bin(std::string_view name) {
  return std::string(AVTD_BIN_DIR) + "/" + std::string(name);
}

std::string source_path(std::string_view relative) {
  return std::string(AVTD_SOURCE_DIR) + "/" + std::string(relative);
}

std::string test_clip(std::string_view name) {
  const std::string dir = std::string(AVTD_BIN_DIR) + "/../test-media";
  const std::string path = dir + "/" + std::string(name);
  for (int attempt = 0; attempt < kClipAttempts && ::access(path.c_str(), R_OK) != 0; ++attempt) {
    run({"sh", source_path("scripts/make-test-media.sh"), dir}, 300s);
  }
  return ::access(path.c_str(), R_OK) == 0 ? path : std::string();
}

bool is_multicast(std::string_view host) {
  if (host.find(':') != std::string_view::npos) {
    return host.size() >= 2 && (host.substr(0, 2) == "ff" || host.substr(0, 2) == "FF");
  }
  const int first = std::atoi(std::string(host.substr(0, host.find('.'))).c_str());
  return first >= 224 && first <= 239;
}

std::string daemon_pid_file(const std::vector<std::string>& args, int registered_session) {
  const std::string_view datatype = option(args, "datatype");
  const std::string_view session = option(args, "session_id");
  const bool metadata = datatype.substr(0, datatype.find('(')) == "onvif_motion";
  const bool audio = datatype.substr(0, datatype.find('(')) == "ulaw";
  if (!is_multicast(option(args, "host"))) {
    const std::string id = session.empty() ? std::to_string(registered_session) : std::string(session);
    return std::string("/var/run/avtd_") + (metadata ? "metadata_" : "") + id + ".pid";
  }
  int channel = 0;
  if (metadata) {
    channel = kMetadataChannel;
  } else if (audio) {
    channel = kAudioChannel;
  } else if (const size_t open = datatype.find('('); open != std::string_view::npos) {
    channel = std::atoi(std::string(datatype.substr(open + 1)).c_str());
    if (channel < 0 || channel > kLastVideoChannel) {
      channel = kLastVideoChannel;
    }
  }
  return "/var/run/avtd_channel" + std::to_string(channel) + ".pid";
}

} // namespace toolkit
