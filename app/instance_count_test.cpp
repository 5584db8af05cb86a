#include "app/instance_count.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace kalvix {
namespace {

namespace fs = std::filesystem;

// Runs copies of `sleep` under chosen file names, as stand-ins for other running copies.
class InstanceCountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kalvix_inst_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "a");
    fs::create_directories(dir_ / "b");
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    fs::remove_all(dir_);
  }
  void Run(const fs::path& asPath) {
    fs::copy_file("/bin/sleep", asPath, fs::copy_options::overwrite_existing);
    fs::permissions(asPath, fs::perms::owner_all);
    std::string path = asPath.string();
    std::string seconds = "30";
    char* argv[] = {path.data(), seconds.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ), 0);
    children_.push_back(pid);
  }

  fs::path dir_;
  std::vector<pid_t> children_;
};

// A process table of the test's own (the shape of /proc: a folder per process id holding the
// link exe), so copies of the service that other suites run at the same time on this machine
// do not enter the count.
TEST_F(InstanceCountTest, CopiesAreFoundByFileNameInAnyFolderAndCase) {
  const fs::path proc = dir_ / "proc";
  int pid = 100;
  for (const fs::path& exe : {dir_ / "a" / "kalvixsrv", dir_ / "b" / "KALVIXSRV",
                              dir_ / "b" / "kalvixd", dir_ / "a" / "kalvixsrv2"}) {
    fs::create_directories(proc / std::to_string(++pid));
    fs::create_symlink(exe, proc / std::to_string(pid) / "exe");
  }
  fs::create_directories(proc / "self");  // not a process id
  fs::create_symlink(dir_ / "a" / "kalvixd", proc / "self" / "exe");
  // Both faces of the service count as one program.
  EXPECT_EQ(InstanceCount("/opt/kalvix/kalvixsrv", kServiceExecutables, proc), 3);
  EXPECT_EQ(InstanceCount("/opt/kalvix/KalvixD", kServiceExecutables, proc), 3);
  // An unrelated program counts only its own name.
  EXPECT_EQ(InstanceCount("/usr/bin/kalvixsrv2", kServiceExecutables, proc), 1);
  EXPECT_EQ(InstanceCount("/usr/bin/nothing-like-this", kServiceExecutables, proc), 0);
}

// The real process table: running copies are found through /proc.
TEST_F(InstanceCountTest, RunningCopiesAreFoundThroughTheProcessTable) {
  const std::string name = "kalvix-inst-" + std::to_string(::getpid());
  Run(dir_ / "a" / name);
  Run(dir_ / "b" / name);
  EXPECT_EQ(InstanceCount("/opt/kalvix/" + name), 2);
}

TEST_F(InstanceCountTest, TheCallerCountsItself) {
  EXPECT_GE(InstanceCount(fs::read_symlink("/proc/self/exe")), 1);
}

TEST(InstanceCount, UnreadableProcessListCountsAsNone) {
  EXPECT_EQ(InstanceCount("/x/kalvixd", kServiceExecutables, "/no/such/proc"), 0);
}

TEST(InstanceCount, OnlyLatinLettersIgnoreCase) {
  EXPECT_TRUE(SameFileNameIgnoringCase("KalvixSRV", "kalvixsrv"));
  EXPECT_FALSE(SameFileNameIgnoringCase("сервис", "СЕРВИС"));
  EXPECT_FALSE(SameFileNameIgnoringCase("kalvixd", "kalvixd2"));
}

}  // namespace
}  // namespace kalvix
