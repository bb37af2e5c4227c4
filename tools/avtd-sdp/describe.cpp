#include "describe.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "platform/framestore.h"
#include "store_reader.h"

namespace sdp {
namespace {

constexpr int kLookBackBlocks = 1024;

// The store the daemon's source would read, or the one asked for.
void choose_store(const SdpOptions& o, std::string& name, int& number) {
  if (o.enable_sdplay && o.payload == kPayloadH264) {
    name = kPlaybackStoreName;
    number = kPlaybackStoreNumber;
  } else {
    name = shm_chan_conf[o.channel].name;
    number = shm_chan_conf[o.channel].number;
  }
  if (!o.store.empty()) {
    name = o.store;
    for (const shm_conf_entry& e : shm_chan_conf) {
      if (name == e.name) {
        number = e.number;
      }
    }
  }
  if (o.store_number >= 0) {
    number = o.store_number;
  }
}

} // namespace

// The device's address of the destination's family, empty when unknown.
std::string device_address(const std::string& device, bool v6) {
  ifaddrs* list = nullptr;
  if (device.empty() || getifaddrs(&list) != 0) {
    return {};
  }
  std::string found;
  for (ifaddrs* a = list; a != nullptr && found.empty(); a = a->ifa_next) {
    if (a->ifa_addr == nullptr || device != a->ifa_name || a->ifa_addr->sa_family != (v6 ? AF_INET6 : AF_INET)) {
      continue;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (v6) {
      const auto* in = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
      if (IN6_IS_ADDR_LINKLOCAL(&in->sin6_addr)) {
        continue;
      }
      inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
    } else {
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
    }
    found = text;
  }
  freeifaddrs(list);
  return found;
}

SdpParams describe_stream(const SdpOptions& o, std::string* store_error) {
  SdpParams p;
  p.payload = o.payload;
  p.host = o.host;
  p.dstport = o.dstport;
  p.ttl = o.ttl;
  p.tcp = o.tcp;
  p.rtp_channel = o.rtp_channel;
  p.rtcp_channel = o.rtcp_channel;
  p.session_id = o.session_id > 0 ? o.session_id : 0;
  p.bitrate = o.bitrate;
  p.origin = o.origin.empty() ? device_address(o.device, is_ipv6(o.host)) : o.origin;
  if (o.framerate > 0) {
    p.framerate = o.framerate;
  } else if (o.framerate < 0) {
    p.framerate = 1.0 / -o.framerate; // one picture every |n| seconds
  }

  const bool video = o.payload == kPayloadH264 || o.payload == kPayloadMpeg4 || o.payload == kPayloadJpeg;
  if (video && !o.no_store) {
    std::string name;
    int number = 0;
    choose_store(o, name, number);
    const Want want = o.payload == kPayloadH264 ? Want::h264 : o.payload == kPayloadMpeg4 ? Want::mpeg4 : Want::jpeg;
    const StoreFacts facts = read_store(name.c_str(), number, want, kLookBackBlocks, o.wait);
    if (store_error != nullptr) {
      // A description without what the store holds still plays, but only once
      // the receiver finds the parameters in the stream: say so.
      const char* missing = want == Want::h264 && !facts.h264.complete() ? "H.264 parameter sets (sprop-parameter-sets)"
                            : want == Want::mpeg4 && !facts.mpeg4.found() ? "MPEG-4 configuration (config)"
                                                                           : nullptr;
      if (missing != nullptr) {
        *store_error = std::string("no ") + missing + " read from " + name +
                       (facts.error.empty() ? "" : " (" + facts.error + ")") +
                       "; the description goes without them and a receiver must find them in the stream";
      } else {
        *store_error = facts.error;
      }
    }
    p.profile_level_id = profile_level_id(facts.h264.sps);
    p.sprop = sprop_parameter_sets(facts.h264);
    if (facts.mpeg4.found()) {
      p.mpeg4_config = hex(facts.mpeg4.config);
      p.mpeg4_profile_level = facts.mpeg4.profile_level;
    }
    p.width = facts.width;
    p.height = facts.height;
    if (p.framerate == 0) {
      p.framerate = facts.framerate;
    }
  }
  return p;
}

} // namespace sdp
