// The requests of "/tmp/session" answered through a session daemon's
// policy.
#include "requests.h"

#include <charconv>
#include <cstring>

#include "platform/session_wire.h"

namespace {

void put_u32(std::vector<unsigned char>& out, uint32_t value) {
  unsigned char bytes[4];
  std::memcpy(bytes, &value, sizeof bytes);
  out.insert(out.end(), bytes, bytes + 4);
}

int32_t get_i32(const unsigned char* at) {
  int32_t value = 0;
  std::memcpy(&value, at, sizeof value);
  return value;
}

void reply_words(std::vector<unsigned char>& out, std::initializer_list<int32_t> words) {
  put_u32(out, static_cast<uint32_t>(words.size() * 4));
  for (const int32_t w : words) {
    put_u32(out, static_cast<uint32_t>(w));
  }
}

} // namespace

std::string json_string(const char* text, size_t max_len) {
  std::string out = "\"";
  for (size_t i = 0; i < max_len && text[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string json_number(float value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

void session_registry::log_line(const std::string& line) {
  if (log_ == nullptr) {
    return;
  }
  std::fprintf(log_, "%s\n", line.c_str());
  std::fflush(log_);
}

void session_registry::handle(uint32_t code, std::span<const unsigned char> body, pid_t asker,
                              std::vector<unsigned char>& reply) {
  switch (code) {
  case kSessionAdd: {
    if (body.size() != kSessionAddBodySize) {
      break;
    }
    session_info info{};
    std::memcpy(&info, body.data(), sizeof info);
    const int id = policy_.add(info);
    log_line("{\"op\":\"add\",\"session_id\":" + std::to_string(id) + ",\"channel\":" + std::to_string(info.channel) +
             ",\"codec\":" + json_string(info.codec, sizeof info.codec) +
             ",\"host\":" + json_string(info.host, sizeof info.host) + ",\"dstport\":" + std::to_string(info.dstport) +
             ",\"framerate\":" + json_number(info.framerate) + ",\"bitrate\":" + std::to_string(info.bitrate) + "}");
    reply_words(reply, {id >= 0 ? 0 : -1, id});
    return;
  }
  case kSessionUpdate: {
    if (body.size() != kSessionUpdateBodySize) {
      break;
    }
    const int id = get_i32(body.data());
    uint32_t bitrate = 0;
    std::memcpy(&bitrate, body.data() + 4, sizeof bitrate);
    log_line("{\"op\":\"update\",\"session_id\":" + std::to_string(id) + ",\"bitrate\":" + std::to_string(bitrate) + "}");
    reply_words(reply, {policy_.update(id, bitrate) ? 0 : -1});
    return;
  }
  case kSessionRemove: {
    if (body.size() != kSessionRemoveBodySize) {
      break;
    }
    const int id = get_i32(body.data());
    log_line("{\"op\":\"remove\",\"session_id\":" + std::to_string(id) + "}");
    reply_words(reply, {policy_.remove(id) ? 0 : -1});
    return;
  }
  case kSessionFrameRateQuery: {
    if (!body.empty()) {
      break;
    }
    const std::string rate = policy_.framerate(asker);
    log_line("{\"op\":\"framerate\",\"reply\":" + rate + "}");
    put_u32(reply, static_cast<uint32_t>(rate.size()));
    reply.insert(reply.end(), rate.begin(), rate.end());
    return;
  }
  default:
    break;
  }
  log_line("{\"op\":\"unknown\",\"code\":" + std::to_string(code) + ",\"length\":" + std::to_string(body.size()) + "}");
  reply_words(reply, {-1});
}
