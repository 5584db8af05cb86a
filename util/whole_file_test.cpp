#include "util/whole_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

namespace kalvix {
namespace {

namespace fs = std::filesystem;

class ReadWholeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kalvix-whole-file-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Write(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
  }

  fs::path dir_;
};

// Every byte as it is in the file: NULs, CR LF, a byte-order mark, more than one read's worth.
TEST_F(ReadWholeFileTest, ReadsTheBytesExactly) {
  std::string large;
  for (int i = 0; i < 20000; ++i) large += static_cast<char>(i % 251);
  const std::string cases[] = {"", std::string("a\0b\r\n", 5), "\xEF\xBB\xBF[main]\r\n", large};
  int n = 0;
  for (const std::string& bytes : cases) {
    std::string text = "left over";
    ASSERT_EQ(ReadWholeFile(Write("f" + std::to_string(n++), bytes), text), WholeFile::kRead);
    EXPECT_EQ(text, bytes);
  }
}

TEST_F(ReadWholeFileTest, FailsWithTheReason) {
  std::string text = "left over";
  errno = 0;
  EXPECT_EQ(ReadWholeFile(dir_ / "missing", text), WholeFile::kOpenFailed);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(text.empty());
  errno = 0;
  EXPECT_EQ(ReadWholeFile(dir_, text), WholeFile::kReadFailed);  // a folder opens, reads fail
  EXPECT_EQ(errno, EISDIR);
}

}  // namespace
}  // namespace kalvix
