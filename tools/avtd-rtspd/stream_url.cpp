#include "stream_url.h"

#include <charconv>
#include <vector>

namespace rtsp {
namespace {

constexpr std::string_view kTrack = "track1";

struct kind_name {
  std::string_view name;
  int payload;
  const char* datatype;
};
constexpr kind_name kKinds[] = {{"h264", kPayloadH264, "h264"},
                                {"jpeg", kPayloadJpeg, "jpeg"},
                                {"mpeg4", kPayloadMpeg4, "mpeg4"},
                                {"ulaw", kPayloadUlaw, "ulaw"},
                                {"metadata", kPayloadMetadata, "onvif_motion"}};

// The absolute path part of an RTSP URL: what follows "rtsp://host[:port]"
// (or the URL itself when it starts with '/').
std::optional<std::string_view> path_of(std::string_view url) {
  if (url.substr(0, 1) == "/") {
    return url;
  }
  for (std::string_view scheme : {"rtsp://", "rtspu://"}) {
    if (url.substr(0, scheme.size()) == scheme) {
      url.remove_prefix(scheme.size());
      if (!url.empty() && url.front() == '[') {
        const size_t close = url.find(']');
        if (close == std::string_view::npos) {
          return std::nullopt;
        }
        url.remove_prefix(close + 1);
      }
      const size_t slash = url.find('/');
      return slash == std::string_view::npos ? std::string_view("/") : url.substr(slash);
    }
  }
  return std::nullopt;
}

bool small_number(std::string_view s, int lo, int hi, int& out) {
  if (s.empty() || s.size() > 3) {
    return false;
  }
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && out >= lo && out <= hi;
}

} // namespace

std::string stream_ref::datatype() const {
  for (const kind_name& k : kKinds) {
    if (k.payload == payload) {
      return payload == kPayloadUlaw ? std::string(k.datatype)
                                     : std::string(k.datatype) + "(" + std::to_string(channel) + ")";
    }
  }
  return {};
}

std::optional<stream_ref> parse_stream_url(std::string_view url) {
  const auto full = path_of(url);
  if (!full) {
    return std::nullopt;
  }
  std::string_view path = *full;
  stream_ref ref;
  // The query may stand before a relative control part a client appended
  // ("/jpeg?fps=5/track1"): it runs to the next '/'.
  const size_t q = path.find('?');
  std::string rest;
  if (q != std::string_view::npos) {
    const size_t q_end = path.find('/', q);
    ref.query = path.substr(q + 1, q_end == std::string_view::npos ? std::string_view::npos : q_end - q - 1);
    rest = std::string(path.substr(0, q));
    if (q_end != std::string_view::npos) {
      rest += path.substr(q_end);
    }
  } else {
    rest = path;
  }
  std::vector<std::string_view> parts;
  std::string_view walk = rest;
  while (!walk.empty()) {
    const size_t slash = walk.find('/');
    const std::string_view part = walk.substr(0, slash);
    if (!part.empty()) {
      parts.push_back(part);
    }
    if (slash == std::string_view::npos) {
      break;
    }
    walk.remove_prefix(slash + 1);
  }
  if (!parts.empty() && parts.back() == kTrack) {
    parts.pop_back();
  }
  if (parts.size() == 2) {
    if (parts[0].substr(0, 2) != "ch" || !small_number(parts[0].substr(2), 0, kMaxChannel, ref.channel)) {
      return std::nullopt;
    }
  } else if (parts.size() != 1) {
    return std::nullopt;
  }
  bool known = false;
  for (const kind_name& k : kKinds) {
    if (parts.back() == k.name) {
      ref.payload = k.payload;
      known = true;
    }
  }
  if (!known) {
    return std::nullopt;
  }
  // fps is the only query a stream takes, and only JPEG has a rate to set.
  if (!ref.query.empty()) {
    if (ref.query.substr(0, 4) != "fps=" || ref.payload != kPayloadJpeg ||
        !small_number(ref.query.substr(4), 1, kMaxFps, ref.fps)) {
      return std::nullopt;
    }
  }
  ref.path = "/";
  if (parts.size() == 2) {
    ref.path += std::string(parts[0]) + "/";
  }
  ref.path += parts.back();
  return ref;
}

std::string control_url(std::string_view request_url) {
  std::string_view base = request_url.substr(0, request_url.find('?'));
  const std::string_view query =
      base.size() < request_url.size() ? request_url.substr(base.size()) : std::string_view();
  while (!base.empty() && base.back() == '/') {
    base.remove_suffix(1);
  }
  return std::string(base) + "/" + std::string(kTrack) + std::string(query);
}

} // namespace rtsp
