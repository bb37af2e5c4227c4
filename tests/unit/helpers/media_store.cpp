#include "helpers/media_store.h"

#include "media/media_sleep.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <span>
#include <stdexcept>

namespace media_test {
namespace {

shm_conf_entry* entry_of(channel_kind kind, int channel) {
  return kind == channel_kind::video ? &shm_chan_conf[channel] : &audio_chan_conf[0];
}

int g_sleeps = 0;
std::function<void(int)> g_on_sleep;

void recorded_sleep(unsigned) {
  ++g_sleeps;
  if (g_on_sleep) g_on_sleep(g_sleeps);
}

}  // namespace

fast_sleeps::fast_sleeps(std::function<void(int)> on_sleep) {
  g_sleeps = 0;
  g_on_sleep = std::move(on_sleep);
  media_sleep = recorded_sleep;
}

fast_sleeps::~fast_sleeps() {
  media_sleep = media_sleep_real;
  g_on_sleep = {};
}

int fast_sleeps::count() const {
  return g_sleeps;
}

temp_store::temp_store(channel_kind kind, int channel, uint32_t codec, framestore::StoreGeometry geometry)
    : entry_(entry_of(kind, channel)), saved_(*entry_) {
  char dir[] = "/tmp/media-store-XXXXXX";
  if (mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
  dir_ = dir;
  path_ = dir_ + "/shm";
  std::snprintf(entry_->name, sizeof entry_->name, "%s", path_.c_str());
  if (producer_.open(path_.c_str(), entry_->number, codec, geometry) < 0) {
    throw std::runtime_error("cannot create the test store");
  }
}

temp_store::~temp_store() {
  producer_.destroy();
  producer_.close();
  unlink(path_.c_str());
  rmdir(dir_.c_str());
  *entry_ = saved_;
}

void temp_store::publish(const std::vector<uint8_t>& frame, const shm_blockinfo& info) {
  if (producer_.publish(std::span(frame), info) < 0) throw std::runtime_error("publish failed");
}

missing_store::missing_store(channel_kind kind, int channel)
    : entry_(entry_of(kind, channel)), saved_(*entry_) {
  std::snprintf(entry_->name, sizeof entry_->name, "/nonexistent/media-store");
}

missing_store::~missing_store() {
  *entry_ = saved_;
}

shm_blockinfo block_info(uint8_t frame_type, uint8_t frame_rate_code) {
  shm_blockinfo info{};
  info.frame_type = frame_type;
  info.frame_rate_code = frame_rate_code;
  return info;
}

std::vector<uint8_t> nal_block(uint8_t nal, size_t body, uint8_t seed) {
  std::vector<uint8_t> b{0, 0, 0, 1, nal};
  for (size_t i = 0; i < body; ++i) b.push_back(static_cast<uint8_t>(seed + i));
  return b;
}

std::vector<std::string> given_up_messages(const std::string& unit, const std::string& codec_check,
                                           const std::string& attach) {
  std::vector<std::string> out;
  const auto countdown = [&](const std::string& text) {
    for (int left = 10; left >= 0; --left) {
      std::string line = unit + " : " + text;
      if (const size_t at = line.find("{}"); at != std::string::npos) line.replace(at, 2, std::to_string(left));
      out.push_back(line);
    }
  };
  if (!codec_check.empty()) countdown(codec_check);
  countdown(attach);
  out.push_back(unit + " : shm attach timeout error");
  return out;
}

}  // namespace media_test
