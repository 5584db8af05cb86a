#include "tools/plantsim/port_keys.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kalvix::plantsim {
namespace {

namespace fs = std::filesystem;

class PortKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("plantsim_port_keys_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path dir_;
  const PortNames ports_{"/dev/pts/11", "/dev/pts/12", "/tmp/lines/bk003"};
};

TEST_F(PortKeysTest, ReplacesThePortKeysAndKeepsEverythingElse) {
  const fs::path ini = dir_ / "kalvixsrv.ini";
  std::ofstream(ini) << "; plant settings\n"
                        "[MAIN]\n"
                        "modbus_portname=COM5\n"
                        "ModBUS_PortSpeed=57600\n"
                        "; the weigher\n"
                        "VK_PortName = COM7\n"
                        "\n"
                        "[MySQL]\n"
                        "Comp=127.0.0.1\n"
                        "Password=abc\n";
  std::string error;
  ASSERT_TRUE(WritePortKeys(ini, ports_, &error)) << error;
  EXPECT_EQ(Read(ini),
            "; plant settings\n"
            "[MAIN]\n"
            "modbus_portname=/dev/pts/11\n"
            "ModBUS_PortSpeed=57600\n"
            "; the weigher\n"
            "VK_PortName=/tmp/lines/bk003\n"
            "V120_PortName=/dev/pts/12\n"
            "\n"
            "[MySQL]\n"
            "Comp=127.0.0.1\n"
            "Password=abc\n");
}

TEST_F(PortKeysTest, CreatesAMissingFile) {
  const fs::path ini = dir_ / "new.ini";
  std::string error;
  ASSERT_TRUE(WritePortKeys(ini, ports_, &error)) << error;
  const std::string text = Read(ini);
  EXPECT_NE(text.find("[main]"), std::string::npos);
  EXPECT_NE(text.find("ModBUS_PortName=/dev/pts/11"), std::string::npos);
  EXPECT_NE(text.find("V120_PortName=/dev/pts/12"), std::string::npos);
  EXPECT_NE(text.find("VK_PortName=/tmp/lines/bk003"), std::string::npos);
}

TEST_F(PortKeysTest, FailsWithAReasonWhenTheFileCannotBeWritten) {
  std::string error;
  EXPECT_FALSE(WritePortKeys(dir_ / "no" / "such" / "folder.ini", ports_, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace kalvix::plantsim
