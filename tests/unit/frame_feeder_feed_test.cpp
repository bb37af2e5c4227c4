// The feed loop and the command line: what reaches the store, block by block.
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "feed_loop.h"
#include "feed_plan.h"
#include "h264_units.h"
#include "options.h"
#include "platform/framestore.h"
#include "platform/framestore_producer.h"

using namespace feeder;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct ReadBlock {
  Bytes bytes;
  shm_blockinfo info;
};

class FeedLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/frame_feeder_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(store_.open((dir_ + "/store").c_str(), 7, kCodecH264, {1024, 1u << 20, 64u << 10}), 0);
  }
  void TearDown() override {
    store_.close();
    fs::remove_all(dir_);
  }

  // Every block published so far, from the first.
  std::vector<ReadBlock> read_all() {
    std::vector<ReadBlock> out;
    shm_handle h;
    if (shm_attach((dir_ + "/store").c_str(), 7, &h) != 0) return out;
    Bytes buf(64u << 10);
    int rp = 0;
    for (uint32_t i = 0; i < store_.published(); ++i) {
      shm_blockinfo info{};
      const int n = shm_read_data_blockinfo(buf.data(), static_cast<int>(buf.size()), &info, &h, &rp, 0);
      if (n <= 0) break;
      out.push_back({Bytes(buf.begin(), buf.begin() + n), info});
    }
    shm_detach(&h);
    return out;
  }

  FeedCount run(const FeedPlan& plan, const Bytes& input, FeedSettings s) {
    s.paced = false;
    bool failed = true;
    const FeedCount c = feed(plan, input, store_, s, stop_, &failed);
    EXPECT_FALSE(failed);
    return c;
  }

  std::string dir_;
  framestore::Producer store_;
  std::atomic<bool> stop_{false};
};

Bytes nal_stream() {
  // Key frame (SPS, PPS, IDR), then two non-key frames.
  return {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88,
          0, 0, 0, 1, 0x41, 0x9A, 0, 0, 0, 1, 0x41, 0x9B};
}

TEST_F(FeedLoop, FrameLimitCountsPicturesAcrossLoopsAndBlocksOfAFrameShareItsTime) {
  const Bytes input = nal_stream();
  const FeedPlan plan = plan_h264(input, false);
  FeedSettings s;
  s.fps = 30;
  s.rate_code = 30;
  s.loop = true;
  s.max_frames = 5;  // 3 frames, then 2 of the next pass
  s.status_path = dir_ + "/status.json";
  EXPECT_EQ(run(plan, input, s).frames, 5u);
  const auto blocks = read_all();
  ASSERT_EQ(blocks.size(), 9u);
  std::vector<uint32_t> stamps;
  std::vector<int> types;
  for (const auto& b : blocks) {
    stamps.push_back(b.info.timestamp);
    types.push_back(b.info.frame_type);
    EXPECT_EQ(b.info.frame_rate_code, 30);
    EXPECT_EQ(b.info.len_a + b.info.len_b, b.bytes.size());
  }
  EXPECT_EQ(stamps, (std::vector<uint32_t>{0, 0, 0, 3000, 6000, 9000, 9000, 9000, 12000}));
  EXPECT_EQ(types, (std::vector<int>{8, 0, 0, 0, 0, 8, 0, 0, 0}));
  EXPECT_EQ(blocks[3].bytes, (Bytes{0, 0, 0, 1, 0x41, 0x9A}));

  std::stringstream status;
  status << std::ifstream(s.status_path).rdbuf();
  EXPECT_EQ(status.str(), "{\"frames\":5,\"blocks\":9,\"running\":false}\n");
}

TEST_F(FeedLoop, WithoutLoopTheFileEndsTheFeedAndStopEndsItAtOnce) {
  const Bytes input = nal_stream();
  const FeedPlan plan = plan_h264(input, false);
  FeedSettings s;
  s.max_frames = 100;
  EXPECT_EQ(run(plan, input, s).frames, 3u);

  stop_ = true;
  s.loop = true;
  s.max_frames = 0;
  s.paced = true;
  bool failed = true;
  EXPECT_EQ(feed(plan, input, store_, s, stop_, &failed).blocks, 0u);
  EXPECT_FALSE(failed);
}

TEST_F(FeedLoop, AudioBlocksAreTimedByTheirBytes) {
  Bytes input(1000);
  std::iota(input.begin(), input.end(), uint8_t{0});
  const FeedPlan plan = plan_fixed_blocks(input, 320, 0);
  FeedSettings s;
  s.audio = true;
  EXPECT_EQ(run(plan, input, s).frames, 4u);
  const auto blocks = read_all();
  ASSERT_EQ(blocks.size(), 4u);
  Bytes joined;
  std::vector<uint32_t> stamps;
  for (const auto& b : blocks) {
    joined.insert(joined.end(), b.bytes.begin(), b.bytes.end());
    stamps.push_back(b.info.timestamp);
  }
  EXPECT_EQ(joined, input);
  EXPECT_EQ(blocks.back().bytes.size(), 40u);
  // 320 bytes are 40 ms: 3600 ticks of the 90 kHz clock.
  EXPECT_EQ(stamps, (std::vector<uint32_t>{0, 3600, 7200, 10800}));
}

ParseResult parse(std::vector<std::string> args) {
  std::vector<char*> argv;
  static std::string name = "frame-feeder";
  argv.push_back(name.data());
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return parse_options(static_cast<int>(argv.size() - 1), argv.data());
}

TEST(FrameFeederOptions, CommandLineNeedsCodecTargetAndInputAndRefusesBadValues) {
  const auto ok = parse({"--codec", "jpeg", "--channel", "2", "--input", "f", "--fps", "7.5", "--frames", "9",
                         "--loop", "--unpaced", "--status", "s.json"});
  ASSERT_TRUE(ok.options) << ok.error;
  EXPECT_EQ(ok.options->codec, Codec::jpeg);
  EXPECT_EQ(ok.options->channel, 2);
  EXPECT_EQ(ok.options->max_frames, 9u);
  EXPECT_TRUE(ok.options->loop);
  EXPECT_TRUE(ok.options->unpaced);
  EXPECT_EQ(rate_code_for(ok.options->fps), 64);

  EXPECT_TRUE(parse({"--codec", "h264", "--playback", "--input", "f"}).options);
  EXPECT_TRUE(parse({"--help"}).options);
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"--channel", "0", "--input", "f"},
           {"--codec", "h265", "--channel", "0", "--input", "f"},
           {"--codec", "h264", "--input", "f"},
           {"--codec", "h264", "--channel", "0"},
           {"--codec", "h264", "--channel", "4", "--input", "f"},
           {"--codec", "h264", "--channel", "0", "--playback", "--input", "f"},
           {"--codec", "h264", "--channel", "0", "--input", "f", "--fps", "0"},
           {"--codec", "h264", "--channel", "0", "--input", "f", "--fps", "30x"},
           {"--codec", "h264", "--channel", "0", "--input", "f", "--frames", "-1"},
           {"--codec", "ulaw", "--channel", "0", "--input", "f", "--audio-block", "1073"},
           {"--codec", "h264", "--channel", "0", "--input", "f", "--fallback-size", "640"},
           {"--codec", "h264", "--channel", "0", "--input", "f", "extra"},
           {"--codec", "h264", "--channel", "0", "--input", "f", "--bogus"},
       }) {
    const auto r = parse(bad);
    EXPECT_FALSE(r.options) << bad[0] << " " << bad.back();
    EXPECT_FALSE(r.error.empty());
  }
  EXPECT_EQ(rate_code_for(0.5), 254);
  EXPECT_EQ(rate_code_for(25), 25);
  EXPECT_EQ(rate_code_for(0.2), 1);
}

}  // namespace
