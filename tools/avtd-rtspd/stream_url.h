// Which stream a request URL names: rtsp://host[:port]/[chN/]KIND[/track1][?fps=N]
// with KIND one of h264, jpeg, mpeg4, ulaw, metadata.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sdp_text.h"

namespace rtsp {

using sdp::kPayloadH264;
using sdp::kPayloadJpeg;
using sdp::kPayloadMetadata;
using sdp::kPayloadMpeg4;
using sdp::kPayloadUlaw;
inline constexpr int kMaxChannel = 3;
inline constexpr int kMaxFps = 30;

struct stream_ref {
  int payload = kPayloadH264;
  int channel = 0;
  int fps = 0;         // JPEG target frame rate from ?fps=N; 0: not given
  std::string path;    // "/ch1/h264", without track and query
  std::string query;   // "fps=5", without '?'

  // The daemon's --datatype value: "h264(1)", "ulaw", "onvif_motion(0)".
  std::string datatype() const;
  // Kind and channel make one multicast stream.
  bool same_stream(const stream_ref& other) const {
    return payload == other.payload && channel == other.channel;
  }
};

// Nothing when the URL names no stream.
std::optional<stream_ref> parse_stream_url(std::string_view url);

// The media's control URL in a description: the URL as the client wrote it
// up to the path, then "/track1", then the query.
std::string control_url(std::string_view request_url);

} // namespace rtsp
