// Runs every file of one fuzz target's seed corpus through the target, so
// that each ordinary build (and its sanitizer build) replays the inputs that
// once found faults. A broken expectation aborts the process; the file being
// replayed is named first so that the failure points at it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> corpus_files() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(AVTD_FUZZ_CORPUS)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(FuzzCorpus, EverySeedAndRegressionInputIsHandledSafely) {
  const std::vector<fs::path> files = corpus_files();
  ASSERT_FALSE(files.empty()) << "no corpus in " << AVTD_FUZZ_CORPUS;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    ASSERT_TRUE(in) << file;
    const std::vector<char> content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Exactly the file's bytes, as libFuzzer hands them over.
    auto bytes = std::make_unique<uint8_t[]>(content.size() + (content.empty() ? 1 : 0));
    std::copy(content.begin(), content.end(), bytes.get());
    std::fprintf(stderr, "replay %s\n", file.filename().c_str());
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.get(), content.size()), 0) << file;
  }
}

} // namespace
