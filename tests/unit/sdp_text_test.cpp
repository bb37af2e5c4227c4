// Session descriptions for each payload and addressing form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sdp_text.h"

// Parameters are written with designated initializers; GCC 12 warns about
// every member left out.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace sdp;

namespace {

constexpr char kHost[] = "198.51.100.2";
constexpr char kOrigin[] = "198.51.100.1";

} // namespace

TEST(SdpText, H264UnicastDescriptionIsComplete) {
  EXPECT_EQ(build_sdp({.payload = kPayloadH264, .host = kHost, .dstport = 5000, .origin = kOrigin, .framerate = 30,
                       .profile_level_id = "42C01E", .sprop = "Z0LAHg==,aM4G4g=="}),
            "v=0\r\n"
            "o=- 0 1 IN IP4 198.51.100.1\r\n"
            "s=avtd video stream\r\n"
            "c=IN IP4 198.51.100.2\r\n"
            "t=0 0\r\n"
            "m=video 5000 RTP/AVP 96\r\n"
            "a=rtpmap:96 H264/90000\r\n"
            "a=fmtp:96 packetization-mode=1;profile-level-id=42C01E;sprop-parameter-sets=Z0LAHg==,aM4G4g==\r\n"
            "a=framerate:30\r\n");
}

TEST(SdpText, EveryPayloadAndAddressingFormGetsItsLines) {
  struct Case {
    SdpParams params;
    std::vector<std::string> lines;
    std::string absent;
  };
  const std::vector<Case> cases = {
      // Without a store the receiver takes the parameter sets from the stream.
      {{.payload = kPayloadH264, .host = kHost, .dstport = 5000}, {"a=fmtp:96 packetization-mode=1"}, "sprop"},
      {{.payload = kPayloadJpeg, .host = kHost, .dstport = 5000}, {"m=video 5000 RTP/AVP 26", "a=rtpmap:26 JPEG/90000"},
       "framesize"},
      {{.payload = kPayloadJpeg, .host = kHost, .dstport = 5000, .width = 2048, .height = 1536},
       {"a=framesize:26 2048-1536", "a=x-dimensions:2048,1536"}, ""},
      {{.payload = kPayloadMpeg4, .host = kHost, .dstport = 5000, .mpeg4_config = "000001B001",
        .mpeg4_profile_level = 245},
       {"a=rtpmap:120 MP4V-ES/90000", "a=fmtp:120 profile-level-id=245;config=000001B001"}, ""},
      {{.payload = kPayloadUlaw, .host = kHost, .dstport = 6000}, {"m=audio 6000 RTP/AVP 0", "a=rtpmap:0 PCMU/8000"},
       ""},
      {{.payload = kPayloadMetadata, .host = kHost, .dstport = 5000},
       {"m=application 5000 RTP/AVP 107", "a=rtpmap:107 vnd.onvif.metadata/90000"}, ""},
      {{.payload = kPayloadH264, .host = "239.1.2.3", .dstport = 5000, .ttl = 16}, {"c=IN IP4 239.1.2.3/16"}, ""},
      // No TTL for IPv6; an unknown origin is the unspecified address.
      {{.payload = kPayloadH264, .host = "ff15::1234", .dstport = 5000, .ttl = 16},
       {"c=IN IP6 ff15::1234", "o=- 0 1 IN IP6 ::"}, ""},
      {{.payload = kPayloadUlaw, .host = "2001:db8::2", .dstport = 5000}, {"c=IN IP6 2001:db8::2"}, ""},
      {{.payload = kPayloadH264, .host = kHost, .dstport = 0, .tcp = true, .rtp_channel = 2, .rtcp_channel = 3},
       {"m=video 0 RTP/AVP/TCP 96", "a=interleaved:2-3"}, ""},
  };
  for (const Case& c : cases) {
    const std::string text = build_sdp(c.params);
    for (const std::string& line : c.lines) {
      EXPECT_NE(text.find(line + "\r\n"), std::string::npos) << line << " in\n" << text;
    }
    EXPECT_TRUE(c.absent.empty() || text.find(c.absent) == std::string::npos) << c.absent << " in\n" << text;
  }
}

TEST(SdpText, MulticastIsTheClassDRangeOfIpv4) {
  EXPECT_TRUE(is_multicast("224.0.0.1"));
  EXPECT_TRUE(is_multicast("239.255.255.255"));
  EXPECT_FALSE(is_multicast("240.0.0.1"));
  EXPECT_FALSE(is_multicast("198.51.100.2"));
  EXPECT_FALSE(is_multicast("2001:db8::2"));
}
