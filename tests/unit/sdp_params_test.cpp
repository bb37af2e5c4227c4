// Stream parameters taken from crafted blocks, in memory and through a store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/framestore.h"
#include "platform/framestore_producer.h"
#include "store_reader.h"
#include "stream_params.h"

using namespace sdp;

namespace {

using Block = std::vector<uint8_t>;

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
