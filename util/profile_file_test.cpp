#include "util/profile_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace kalvix {
namespace {

namespace fs = std::filesystem;

class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kalvix_ini_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = dir_ / "kalvixsrv.ini";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteText(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string ReadText() {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_;
  fs::path path_;
};

TEST_F(ProfileFileTest, LookupIgnoresCaseAndFirstMatchWins) {
  WriteText(
      "; plant settings\n"
      "[Main]\n"
      " AverageLen = 30 \n"
      "averagelen=99\n"
      "Name=\"quoted value\"\n"
      "[main]\n"
      "Other=1\n"
      "[MySQL]\n"
      "Comp=db1\n");
  ProfileFile ini(path_);
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadInteger("MAIN", "AVERAGELEN", 0), 30);
  EXPECT_EQ(ini.ReadString("main", "name", ""), "quoted value");
  EXPECT_EQ(ini.ReadString("mysql", "comp", ""), "db1");
  EXPECT_EQ(ini.ReadString("main", "Missing", "dflt"), "dflt");
  EXPECT_FALSE(ini.ReadValue("nosuch", "Comp").has_value());
}

TEST_F(ProfileFileTest, IntegerAndBooleanEncodings) {
  WriteText(
      "[main]\n"
      "a=12\nb=-7\nc=12abc\nd=\ne=true\nf=0\ng=5\nh=99999999999\ni= +3 \nj=+-3\n");
  ProfileFile ini(path_);
  ASSERT_TRUE(ini.Load());
  struct Case {
    const char* key;
    int expected;
  };
  const Case ints[] = {{"a", 12}, {"b", -7}, {"c", -1}, {"d", -1}, {"e", -1}, {"h", -1}, {"i", 3}, {"j", -1}};
  for (const Case& c : ints) EXPECT_EQ(ini.ReadInteger("main", c.key, -1), c.expected) << c.key;
  EXPECT_FALSE(ini.ReadBool("main", "f", true));
  EXPECT_TRUE(ini.ReadBool("main", "g", false));
  EXPECT_TRUE(ini.ReadBool("main", "e", true)) << "text that is no integer reads as the default";
  EXPECT_FALSE(ini.ReadBool("main", "e", false));
}

TEST_F(ProfileFileTest, WritingKeepsCommentsUnknownKeysAndLineEnds) {
  WriteText(
      "; written by hand\r\n"
      "[main]\r\n"
      "Foreign=keep me\r\n"
      "AverageLen=30\r\n"
      "\r\n"
      "[BK003]\r\n"
      "set_timeouts=1\r\n");
  ProfileFile ini(path_);
  ASSERT_TRUE(ini.Load());
  ini.WriteInteger("MAIN", "averagelen", 45);
  ini.WriteString("main", "NewKey", "v");
  ini.WriteBool("MySQL", "AutoCleanFlag", true);
  ASSERT_TRUE(ini.Save());
  EXPECT_EQ(ReadText(),
            "; written by hand\r\n"
            "[main]\r\n"
            "Foreign=keep me\r\n"
            "AverageLen=45\r\n"
            "NewKey=v\r\n"
            "\r\n"
            "[BK003]\r\n"
            "set_timeouts=1\r\n"
            "\r\n"
            "[MySQL]\r\n"
            "AutoCleanFlag=1\r\n");
}

TEST_F(ProfileFileTest, MissingFileIsEmptyAndSaveCreatesItPrivate) {
  ProfileFile ini(path_);
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadString("main", "x", "d"), "d");
  ini.WriteString("main", "x", "1");
  ASSERT_TRUE(ini.Save());
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadText(), "[main]\nx=1\n");
}

TEST_F(ProfileFileTest, LineBreaksInAValueCannotAddKeys) {
  ProfileFile ini(path_);
  ini.WriteString("main", "ModBUS_PortName", "COM5\nAutoStart=1");
  ASSERT_TRUE(ini.Save());
  ProfileFile back(path_);
  ASSERT_TRUE(back.Load());
  EXPECT_FALSE(back.ReadValue("main", "AutoStart").has_value());
  EXPECT_EQ(back.ReadString("main", "ModBUS_PortName", ""), "COM5 AutoStart=1");
}

TEST_F(ProfileFileTest, FailedSaveLeavesTheOldFileWhole) {
  WriteText("[main]\nAverageLen=30\n");
  // Target a folder that does not exist: the temporary file cannot be made (root ignores
  // folder modes, so a read-only folder would not show it).
  ProfileFile elsewhere(dir_ / "nofolder" / "kalvixsrv.ini");
  elsewhere.WriteInteger("main", "AverageLen", 31);
  std::string error;
  EXPECT_FALSE(elsewhere.Save(&error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadText(), "[main]\nAverageLen=30\n");
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename(), "kalvixsrv.ini") << "temporary file left behind";
  }
}

TEST_F(ProfileFileTest, BinaryGarbageAndByteOrderMarkAreHandled) {
  std::string garbage = "\xEF\xBB\xBF[main]\nAverageLen=7\n";
  for (int i = 0; i < 2000; ++i) garbage += static_cast<char>((i * 37) % 256);
  garbage += "\n" + std::string(100000, 'k') + "\n";
  WriteText(garbage);
  ProfileFile ini(path_);
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadInteger("main", "AverageLen", 0), 7);
  ini.WriteInteger("main", "AverageLen", 8);
  ASSERT_TRUE(ini.Save());
  ProfileFile back(path_);
  ASSERT_TRUE(back.Load());
  EXPECT_EQ(back.ReadInteger("main", "AverageLen", 0), 8);
  EXPECT_EQ(ReadText().substr(0, 3), "\xEF\xBB\xBF");
}

}  // namespace
}  // namespace kalvix
