// What the media system tests take apart on the receiving side: RTP packets
// kept whole, H.264 payloads back into NAL units, and the test clips into
// the units the feeder writes; plus frame-hash runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "toolkit/media.h"
#include "toolkit/rtp.h"

namespace media_sys {

using bytes = std::vector<uint8_t>;

struct rtp_packet {
  bool marker = false;
  int payload_type = 0;
  uint16_t seq = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  bytes payload;
};

using toolkit::be16;
using toolkit::be32;

// A version-2 RTP packet without padding, CSRCs or extension, as the daemon
// sends them, kept with its own copy of the payload.
inline std::optional<rtp_packet> parse_rtp(std::span<const uint8_t> d) {
  toolkit::RtpPacket p;
  if (toolkit::parse_rtp(d, p) != toolkit::RtpError::none || p.padding || p.csrc_count != 0 || p.extension) {
    return std::nullopt;
  }
  return rtp_packet{p.marker, p.payload_type, p.seq, p.timestamp, p.ssrc, bytes(p.payload.begin(), p.payload.end())};
}

// ---- H.264

inline const bytes kStartCode{0, 0, 0, 1};

inline bytes cat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The NAL units of an Annex B stream, each behind a 4-byte start code, as the
// feeder writes them into blocks.
inline std::vector<bytes> annexb_units(const bytes& file) {
  std::vector<bytes> units;
  for (const toolkit::Bytes nal : toolkit::split_nal_units(file)) units.push_back(cat(kStartCode, bytes(nal.begin(), nal.end())));
  return units;
}

inline int nal_type(const bytes& unit) {
  return unit.size() > 4 ? unit[4] & 0x1F : -1;
}

struct h264_nal {
  bytes unit; // start code included
  uint32_t timestamp = 0;
  bool stap = false;   // came in a STAP-A packet
  bool single = false; // came as a single NAL unit packet
};

// Rebuilds NAL units from the packets of an H.264 stream. Sets `error` and
// stops at the first malformed or out-of-order packet.
inline std::vector<h264_nal> depacketize_h264(const std::vector<rtp_packet>& packets, std::string* error) {
  std::vector<h264_nal> out;
  std::optional<h264_nal> fu;
  const auto failed = [&](const std::string& why) {
    *error = why;
    return out;
  };
  for (size_t i = 0; i < packets.size(); ++i) {
    const auto& p = packets[i];
    const auto& d = p.payload;
    if (i > 0 && static_cast<uint16_t>(packets[i - 1].seq + 1) != p.seq) return failed("sequence gap at " + std::to_string(i));
    if (d.empty()) return failed("empty payload");
    const int type = d[0] & 0x1F;
    if (type >= 1 && type <= 23) {
      out.push_back({cat(kStartCode, d), p.timestamp, false, true});
    } else if (type == 24) {
      for (size_t at = 1; at < d.size(); at += 2 + be16(d, at)) {
        if (at + 2 > d.size() || at + 2 + be16(d, at) > d.size()) return failed("STAP-A size past the packet");
        const auto unit = std::span(d).subspan(at + 2, be16(d, at));
        out.push_back({cat(kStartCode, bytes(unit.begin(), unit.end())), p.timestamp, true, false});
      }
    } else if (type == 28 && d.size() >= 2) {
      const bool start = (d[1] & 0x80) != 0;
      if (start == fu.has_value()) return failed(start ? "FU-A start inside a fragmented unit" : "FU-A continuation without a start");
      if (start) fu = h264_nal{cat(kStartCode, {static_cast<uint8_t>((d[0] & 0xE0) | (d[1] & 0x1F))}), p.timestamp};
      fu->unit.insert(fu->unit.end(), d.begin() + 2, d.end());
      if ((d[1] & 0x40) != 0) {
        // Only a further slice of the same picture may take the marker over.
        const bool picture_goes_on = i + 1 < packets.size() && packets[i + 1].timestamp == p.timestamp;
        if (!p.marker && !picture_goes_on) return failed("FU-A end of a picture without the marker bit");
        out.push_back(std::move(*fu));
        fu.reset();
      }
    } else {
      return failed("unexpected NAL packet type " + std::to_string(type));
    }
  }
  return out;
}

// The units alone, start codes included.
inline std::vector<bytes> units_of(const std::vector<h264_nal>& nals) {
  std::vector<bytes> out;
  for (const auto& n : nals) out.push_back(n.unit);
  return out;
}

// ---- JPEG and MPEG-4 clips

// The pictures of a file of concatenated JPEG files.
inline std::vector<bytes> jpeg_pictures(const bytes& file) {
  std::vector<bytes> out;
  size_t start = 0;
  for (size_t i = 2; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xD9) {
      out.emplace_back(file.begin() + static_cast<long>(start), file.begin() + static_cast<long>(i) + 2);
      start = i + 2;
      i = start + 1;
    }
  }
  return out;
}

// The configuration headers (VOS, VO, VOL) in front of the first GOV or VOP,
// as hexadecimal text for the SDP.
inline std::string mpeg4_config_hex(const bytes& file) { return toolkit::hex(toolkit::mpeg4_config(file).config); }

// ---- frame hashes

// The hash column of ffmpeg's framemd5 output.
inline std::vector<std::string> framemd5_hashes(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (!line.empty() && line[0] != '#') {
      const size_t comma = line.rfind(',');
      if (comma != std::string::npos) out.push_back(line.substr(line.find_first_not_of(' ', comma + 1)));
    }
    start = end + 1;
  }
  return out;
}

// Where `received` starts as one unbroken run of `source` (read as a loop,
// the clip fed again after its end); nothing when it is not one.
template <typename T>
std::optional<size_t> contiguous_run(const std::vector<T>& received, const std::vector<T>& source) {
  if (received.empty() || source.empty()) return std::nullopt;
  for (size_t start = 0; start < source.size(); ++start) {
    bool all = true;
    for (size_t i = 0; i < received.size() && all; ++i) all = received[i] == source[(start + i) % source.size()];
    if (all) return start;
  }
  return std::nullopt;
}

}  // namespace media_sys
