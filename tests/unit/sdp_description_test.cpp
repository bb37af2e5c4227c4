// avtd-sdp: stream parameters taken from crafted blocks, in memory and
// through a store, and the description written for each payload and
// addressing form.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/framestore.h"
#include "platform/framestore_producer.h"
#include "sdp_text.h"
#include "store_reader.h"
#include "stream_params.h"

// Parameters are written with designated initializers; GCC 12 warns about
// every member left out.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace sdp;

namespace {

using Block = std::vector<uint8_t>;

constexpr char kHost[] = "198.51.100.2";
constexpr char kOrigin[] = "198.51.100.1";

const Block kSps1 = {0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0xa0};
const Block kSps2 = {0x67, 0x4d, 0x40, 0x28, 0x95, 0xa0};
const Block kPps = {0x68, 0xce, 0x06, 0xe2};

Block with_start_code(const Block& nal, size_t zeros = 3) {
  Block b(zeros, 0);
  b.push_back(1);
  b.insert(b.end(), nal.begin(), nal.end());
  return b;
}

Block cat(std::initializer_list<Block> parts) {
  Block out;
  for (const Block& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

// A store in a temporary file, filled by the test as a producer would.
class TempStore {
 public:
  explicit TempStore(uint32_t codec) {
    char dir[] = "/tmp/sdp_store_XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    EXPECT_EQ(producer_.open((dir_ + "/store").c_str(), kNumber, codec, {16, 1u << 16, 1u << 14}), 0);
  }
  ~TempStore() {
    producer_.close();
    std::filesystem::remove_all(dir_);
  }
  void publish(const Block& frame, uint8_t frame_type = 0, uint16_t width = 0, uint16_t height = 0) {
    shm_blockinfo info{};
    info.frame_type = frame_type;
    info.frame_rate_code = 25;
    info.width = width;
    info.height = height;
    ASSERT_EQ(producer_.publish(frame, info), 0);
  }
  StoreFacts read(Want want) { return read_store((dir_ + "/store").c_str(), kNumber, want, 64, 0); }

  static constexpr int kNumber = 4242;

 private:
  std::string dir_;
  framestore::Producer producer_;
};

} // namespace

TEST(SdpParams, NalUnitsSplitOnBothStartCodeLengths) {
  const Block stream = cat({with_start_code(kSps1), with_start_code(kPps, 2), {0, 0}, with_start_code({0x65, 1})});
  const auto units = split_nal_units(stream);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(Block(units[0].begin(), units[0].end()), kSps1);
  EXPECT_EQ(Block(units[1].begin(), units[1].end()), kPps); // trailing zeros dropped
  EXPECT_EQ(units[2].size(), 2u);
  EXPECT_TRUE(split_nal_units(Block{1, 2, 3}).empty());
}

TEST(SdpParams, ParameterSetsGiveSpropAndProfile) {
  H264ParamSets sets;
  take_param_sets(cat({with_start_code(kSps1), with_start_code(kPps)}), sets);
  ASSERT_TRUE(sets.complete());
  EXPECT_EQ(profile_level_id(sets.sps), "42C01E");
  EXPECT_EQ(sprop_parameter_sets(sets), "Z0LAHtkAoA==,aM4G4g==");
  // Sets already found (newer blocks come first) are kept.
  take_param_sets(with_start_code(kSps2), sets);
  EXPECT_EQ(sets.sps, kSps1);

  EXPECT_EQ(base64(Block{}), "");
  EXPECT_EQ(base64(Block{'f'}), "Zg==");
  EXPECT_EQ(base64(Block{'f', 'o'}), "Zm8=");
  EXPECT_EQ(base64(Block{'f', 'o', 'o', 'b', 'a', 'r'}), "Zm9vYmFy");
  EXPECT_EQ(hex(Block{0x00, 0xab, 0x10}), "00AB10");
}

TEST(SdpParams, Mpeg4ConfigIsTheHeaderRunBeforeTheFirstVop) {
  const Block vos = {0, 0, 1, 0xb0, 0xf5};
  const Block vo = {0, 0, 1, 0xb5, 0x09};
  const Block vol = {0, 0, 1, 0x20, 0x00, 0x84, 0x5d};
  const Block vop = {0, 0, 1, 0xb6, 0x10, 0x20};
  const Mpeg4Config c = mpeg4_config(cat({vos, vo, vol, vop}));
  ASSERT_TRUE(c.found());
  EXPECT_EQ(c.config, cat({vos, vo, vol}));
  EXPECT_EQ(c.profile_level, 0xf5);

  const Mpeg4Config gov = mpeg4_config(cat({vol, {0, 0, 1, 0xb3, 1}, vop}));
  EXPECT_EQ(gov.config, vol);
  EXPECT_EQ(gov.profile_level, 1);

  EXPECT_FALSE(mpeg4_config(vop).found());                 // a P-VOP alone
  EXPECT_FALSE(mpeg4_config(cat({vos, vo, vop})).found()); // no object layer
}

TEST(SdpParams, StoreGivesTheNewestKeyFramesParameterSets) {
  TempStore store(kCodecH264);
  for (const Block& sps : {kSps1, kSps2}) {
    store.publish(with_start_code(sps), 8);
    store.publish(with_start_code(kPps));
    store.publish(with_start_code({0x65, 0x88, 0x84}));
  }
  store.publish(with_start_code({0x41, 0x9a}));
  const StoreFacts facts = store.read(Want::h264);
  EXPECT_TRUE(facts.attached);
  EXPECT_TRUE(facts.error.empty()) << facts.error;
  EXPECT_EQ(facts.h264.sps, kSps2);
  EXPECT_EQ(facts.h264.pps, kPps);
  EXPECT_EQ(facts.framerate, 25);
}

TEST(SdpParams, StoreWithoutParametersOrMissingStoreSaysWhy) {
  TempStore store(kCodecH264);
  store.publish(with_start_code({0x41, 0x9a}));
  const StoreFacts none = store.read(Want::h264);
  EXPECT_FALSE(none.h264.complete());
  EXPECT_FALSE(none.error.empty());

  TempStore empty(kCodecH264);
  EXPECT_FALSE(empty.read(Want::h264).h264.complete()); // no wait, nothing published

  const StoreFacts missing = read_store("/nonexistent/store", 1, Want::h264, 64, 0);
  EXPECT_FALSE(missing.attached);
  EXPECT_NE(missing.error.find("cannot attach"), std::string::npos);
}

TEST(SdpParams, StoreGivesMpeg4ConfigAndJpegSize) {
  TempStore mpeg4(kCodecMpeg4);
  const Block config = {0, 0, 1, 0xb0, 0x01, 0, 0, 1, 0x20, 0x08, 0x84};
  mpeg4.publish(cat({config, {0, 0, 1, 0xb6, 0x10}}), 15);
  mpeg4.publish({0, 0, 1, 0xb6, 0x50});
  const StoreFacts m = mpeg4.read(Want::mpeg4);
  EXPECT_EQ(m.mpeg4.config, config);

  TempStore jpeg(kCodecJpeg);
  jpeg.publish({0xff, 0xd8, 0xff, 0xd9}, 0, 2560, 1920);
  const StoreFacts j = jpeg.read(Want::jpeg);
  EXPECT_EQ(j.width, 2560u);
  EXPECT_EQ(j.height, 1920u);
}

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
