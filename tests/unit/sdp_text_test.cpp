// Session descriptions for each payload and addressing form.
#include <gtest/gtest.h>

#include <string>

#include "sdp_text.h"

using namespace sdp;

namespace {

SdpParams stream(int payload, const char* host, unsigned port = 5000) {
  SdpParams p;
  p.payload = payload;
  p.host = host;
  p.dstport = port;
  p.origin = "198.51.100.1";
  return p;
}

bool has_line(const std::string& sdp, const std::string& line) {
  return sdp.find(line + "\r\n") != std::string::npos;
}

} // namespace

TEST(SdpText, H264UnicastDescriptionIsComplete) {
  SdpParams p = stream(kPayloadH264, "198.51.100.2");
  p.profile_level_id = "42C01E";
  p.sprop = "Z0LAHg==,aM4G4g==";
  p.framerate = 30;
  EXPECT_EQ(build_sdp(p),
            "v=0\r\n"
            "o=- 0 1 IN IP4 198.51.100.1\r\n"
            "s=avtd video stream\r\n"
            "c=IN IP4 198.51.100.2\r\n"
            "t=0 0\r\n"
            "m=video 5000 RTP/AVP 96\r\n"
            "a=rtpmap:96 H264/90000\r\n"
            "a=fmtp:96 packetization-mode=1;profile-level-id=42C01E;sprop-parameter-sets=Z0LAHg==,aM4G4g==\r\n"
            "a=framerate:30\r\n");
  // Without a store the receiver takes the parameter sets from the stream.
  EXPECT_TRUE(has_line(build_sdp(stream(kPayloadH264, "198.51.100.2")), "a=fmtp:96 packetization-mode=1"));
}

TEST(SdpText, EveryPayloadGetsItsMediaTypeAndClock) {
  const std::string jpeg = build_sdp(stream(kPayloadJpeg, "198.51.100.2"));
  EXPECT_TRUE(has_line(jpeg, "m=video 5000 RTP/AVP 26"));
  EXPECT_TRUE(has_line(jpeg, "a=rtpmap:26 JPEG/90000"));
  EXPECT_EQ(jpeg.find("framesize"), std::string::npos);

  SdpParams big = stream(kPayloadJpeg, "198.51.100.2");
  big.width = 2048;
  big.height = 1536;
  const std::string large = build_sdp(big);
  EXPECT_TRUE(has_line(large, "a=framesize:26 2048-1536"));
  EXPECT_TRUE(has_line(large, "a=x-dimensions:2048,1536"));

  SdpParams m4 = stream(kPayloadMpeg4, "198.51.100.2");
  m4.mpeg4_config = "000001B001";
  m4.mpeg4_profile_level = 245;
  const std::string mpeg4 = build_sdp(m4);
  EXPECT_TRUE(has_line(mpeg4, "a=rtpmap:120 MP4V-ES/90000"));
  EXPECT_TRUE(has_line(mpeg4, "a=fmtp:120 profile-level-id=245;config=000001B001"));

  const std::string audio = build_sdp(stream(kPayloadUlaw, "198.51.100.2", 6000));
  EXPECT_TRUE(has_line(audio, "m=audio 6000 RTP/AVP 0"));
  EXPECT_TRUE(has_line(audio, "a=rtpmap:0 PCMU/8000"));

  const std::string meta = build_sdp(stream(kPayloadMetadata, "198.51.100.2"));
  EXPECT_TRUE(has_line(meta, "m=application 5000 RTP/AVP 107"));
  EXPECT_TRUE(has_line(meta, "a=rtpmap:107 vnd.onvif.metadata/90000"));
}

TEST(SdpText, MulticastAndIpv6ConnectionLines) {
  SdpParams v4 = stream(kPayloadH264, "239.1.2.3");
  v4.ttl = 16;
  EXPECT_TRUE(has_line(build_sdp(v4), "c=IN IP4 239.1.2.3/16"));

  SdpParams v6m = stream(kPayloadH264, "ff15::1234");
  v6m.ttl = 16;
  v6m.origin.clear();
  const std::string six = build_sdp(v6m);
  EXPECT_TRUE(has_line(six, "c=IN IP6 ff15::1234")); // no TTL for IPv6
  EXPECT_TRUE(has_line(six, "o=- 0 1 IN IP6 ::"));

  const std::string unicast6 = build_sdp(stream(kPayloadUlaw, "2001:db8::2"));
  EXPECT_TRUE(has_line(unicast6, "c=IN IP6 2001:db8::2"));

  EXPECT_TRUE(is_multicast("224.0.0.1"));
  EXPECT_TRUE(is_multicast("239.255.255.255"));
  EXPECT_FALSE(is_multicast("240.0.0.1"));
  EXPECT_FALSE(is_multicast("198.51.100.2"));
  EXPECT_FALSE(is_multicast("2001:db8::2"));
}

TEST(SdpText, InterleavedTcpNamesItsChannels) {
  SdpParams p = stream(kPayloadH264, "198.51.100.2", 0);
  p.tcp = true;
  p.rtp_channel = 2;
  p.rtcp_channel = 3;
  const std::string text = build_sdp(p);
  EXPECT_TRUE(has_line(text, "m=video 0 RTP/AVP/TCP 96"));
  EXPECT_TRUE(has_line(text, "a=interleaved:2-3"));
}
