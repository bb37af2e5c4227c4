// The feeder on real encoder output: the blocks it writes, read back from the
// store and joined, decode to exactly the frames of the clip itself. Skips
// without FFmpeg.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/framestore.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int kNumber = 100;

fs::path bin_dir() { return fs::read_symlink("/proc/self/exe").parent_path(); }

std::string sh(const std::string& command) {
  std::string out;
  if (std::FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

class FeederMedia : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
    media_ = bin_dir().parent_path() / "test-media";
    const fs::path script = fs::path(__FILE__).parent_path().parent_path().parent_path() / "scripts/make-test-media.sh";
    ASSERT_EQ(std::system(("sh " + script.string() + " " + media_.string()).c_str()), 0);
    char pattern[] = "/tmp/feeder_media_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // Feeds the clip unpaced into a store large enough to keep all of it and
  // returns the blocks, oldest first.
  std::vector<Bytes> feed(const std::string& codec, const std::string& clip, const std::string& extra = "") {
    const std::string store = dir_ + "/store";
    const std::string cmd = (bin_dir() / "frame-feeder").string() + " --codec " + codec + " --store " + store +
                            " --input " + (media_ / clip).string() +
                            " --unpaced --blocks 8192 --ring-size 134217728 " + extra;
    fed_line_ = sh(cmd);
    std::vector<Bytes> blocks;
    shm_handle h;
    if (shm_attach(store.c_str(), kNumber, &h) != 0) return blocks;
    Bytes buf(h.header->max_frame_size);
    int rp = 0;
    for (int i = 0; i < 10000; ++i) {
      shm_blockinfo info{};
      const int n = shm_read_data_blockinfo(buf.data(), static_cast<int>(buf.size()), &info, &h, &rp, 0);
      if (n <= 0) break;
      blocks.emplace_back(buf.begin(), buf.begin() + n);
      infos_.push_back(info);
    }
    shm_detach(&h);
    return blocks;
  }

  static Bytes joined(const std::vector<Bytes>& blocks) {
    Bytes out;
    for (const Bytes& b : blocks) out.insert(out.end(), b.begin(), b.end());
    return out;
  }
  std::string write_joined(const std::vector<Bytes>& blocks, const std::string& name) {
    const std::string path = dir_ + "/" + name;
    const Bytes bytes = joined(blocks);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  Bytes clip_bytes(const std::string& clip) const {
    std::ifstream in(media_ / clip, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The decoded frames' checksums, one line per frame.
  static std::string frame_md5(const std::string& path, const std::string& format = "") {
    return sh("ffmpeg -hide_banner -loglevel error -nostdin " + format + " -i " + path +
              " -f framemd5 - 2>/dev/null | grep -v '^#'");
  }

  static size_t lines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

  fs::path media_;
  std::string dir_;
  std::string fed_line_;
  std::vector<shm_blockinfo> infos_;
};

TEST_F(FeederMedia, H264BlocksDecodeToTheClipsFramesAndKeyFramesCarryParameterSets) {
  const auto blocks = feed("h264", "h264.264");
  ASSERT_FALSE(blocks.empty());
  int key_frames = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_GE(blocks[i].size(), 5u);
    EXPECT_EQ(Bytes(blocks[i].begin(), blocks[i].begin() + 4), (Bytes{0, 0, 0, 1}));
    if (infos_[i].frame_type == 8) {
      ++key_frames;
      EXPECT_EQ(blocks[i][4] & 0x1F, 7) << "block " << i;
      ASSERT_LT(i + 1, blocks.size());
      EXPECT_EQ(blocks[i + 1][4] & 0x1F, 8) << "block " << i + 1;
    }
  }
  EXPECT_EQ(key_frames, 12);
  EXPECT_EQ(fed_line_, "fed 360 frames (" + std::to_string(blocks.size()) + " blocks)\n");
  const std::string joined = frame_md5(write_joined(blocks, "out.264"));
  EXPECT_EQ(lines(joined), 360u);
  EXPECT_EQ(joined, frame_md5((media_ / "h264.264").string()));
}

TEST_F(FeederMedia, H264PlaybackBlocksDecodeToTheClipsFrames) {
  const auto blocks = feed("h264", "h264.264", "--playback --number 100");
  EXPECT_EQ(fed_line_, "fed 360 frames (" + std::to_string(blocks.size()) + " blocks)\n");
  EXPECT_LT(blocks.size(), 360u + 12u * 2u) << "small units of an access unit share blocks";
  EXPECT_EQ(infos_.back().timestamp, 359u * 3000u);
  EXPECT_EQ(frame_md5(write_joined(blocks, "pb.264")), frame_md5((media_ / "h264.264").string()));
}

TEST_F(FeederMedia, JpegPicturesArriveWholeWithSizeAndQ) {
  const auto standard = feed("jpeg", "mjpeg_std.mjpeg");
  ASSERT_EQ(standard.size(), 360u);
  for (const auto& info : infos_) {
    EXPECT_EQ((std::vector<int>{info.quality, info.width, info.height}), (std::vector<int>{75, 320, 240}));
  }
  EXPECT_TRUE(joined(standard) == clip_bytes("mjpeg_std.mjpeg"));

  infos_.clear();
  fs::remove(dir_ + "/store");
  const auto custom = feed("jpeg", "mjpeg_custom.mjpeg");
  ASSERT_EQ(custom.size(), 360u);
  for (const auto& info : infos_) EXPECT_EQ(info.quality, 255);
  EXPECT_EQ(frame_md5(write_joined(custom, "c.mjpeg")), frame_md5((media_ / "mjpeg_custom.mjpeg").string()));
}

TEST_F(FeederMedia, Mpeg4VopsDecodeToTheClipsFramesFromEveryIVop) {
  const auto blocks = feed("mpeg4", "mpeg4.m4v");
  ASSERT_EQ(blocks.size(), 360u);
  std::vector<Bytes> from_second_key;
  int keys = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (infos_[i].frame_type == 15) {
      ++keys;
      EXPECT_EQ(Bytes(blocks[i].begin(), blocks[i].begin() + 4), (Bytes{0, 0, 1, 0xB0})) << "block " << i;
    }
    if (keys >= 2) from_second_key.push_back(blocks[i]);
  }
  EXPECT_EQ(keys, 12);
  const std::string whole = frame_md5((media_ / "mpeg4.m4v").string());
  EXPECT_EQ(frame_md5(write_joined(blocks, "out.m4v")), whole);
  // A reader that starts at a later I-VOP decodes on its own.
  const std::string tail = frame_md5(write_joined(from_second_key, "tail.m4v"));
  EXPECT_EQ(lines(tail), 330u);
}

TEST_F(FeederMedia, MuLawBlocksJoinToTheClip) {
  const auto blocks = feed("ulaw", "tone.ulaw");
  ASSERT_EQ(blocks.size(), 250u);
  for (const Bytes& b : blocks) EXPECT_EQ(b.size(), 320u);
  EXPECT_TRUE(joined(blocks) == clip_bytes("tone.ulaw"));
  EXPECT_EQ(infos_[1].timestamp, 3600u);
}

}  // namespace
