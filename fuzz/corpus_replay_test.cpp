// Replays a fuzz target's corpus through its entry, so every seed (and every input a fuzzing
// run found worth keeping) is checked by the ordinary test run and its sanitizer builds.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(CorpusReplay, EveryInputRunsClean) {
  const std::filesystem::path dir = KALVIX_CORPUS_DIR;
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  int inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
    ++inputs;
  }
  EXPECT_GT(inputs, 0) << "empty corpus " << dir;
  EXPECT_EQ(LLVMFuzzerTestOneInput(nullptr, 0), 0);
}

}  // namespace
