// The service's files go wrong: the LOG folder removed or not a folder, the disk full for
// the log, a settings file of garbage, of very long lines, of duplicate keys or without
// sections, per-port time-out files of garbage. The service must keep running on what it
// can read (the defaults for the rest), say what it could not do, and never leave the
// settings file shorter than it found it.
#include <signal.h>

#include <fstream>
#include <random>
#include <thread>

#include "faults/service_harness.h"
#include "util/date_time.h"

namespace kalvix::faults {
namespace {

using plantsim::DeviceId;
using plantsim::Line;

std::string Garbage(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
  return bytes;
}

class FileFaultTest : public ServiceHarness {
 protected:
  fs::path TodaysLogPath() { return dir_ / "LOG" / (FormatDateTime("yyyy_mm_dd", Now()) + ".log"); }
  // Silences the BK-003 for three seconds and expects the service to ask it again, and to
  // take its new readings, once it answers: the simulator's replies are counted from the
  // moment the silence ends, so a reading taken before it cannot pass for one.
  void ExpectBk003ReadAgainAfterSilence() {
    plantsim::FaultSet silent;
    silent.silent = true;
    plant_.SetFault(DeviceId::kBk003, silent);
    std::this_thread::sleep_for(3s);
    const std::optional<double> frozen = StateValue("TNK23");
    plant_.SetFault(DeviceId::kBk003, {});
    const uint64_t replies = plant_.Replies(DeviceId::kBk003);
    ASSERT_TRUE(plant_.SetSignal("TNK23", 3900));
    EXPECT_TRUE(WaitFor([&] { return plant_.Replies(DeviceId::kBk003) >= replies + 3; }, 8s))
        << "the BK-003 is asked again after its silence\n" << Log();
    EXPECT_TRUE(WaitFor([&] { return StateValue("TNK23") != frozen; }, 10s))
        << "its new reading reaches the state row\n" << Log();
  }
  // Makes the JUMO 1 controller silent for a moment, so the service has lines to write.
  void ProvokeLogLines() {
    plantsim::FaultSet silent;
    silent.silent = true;
    plant_.SetFault(DeviceId::kJumo1, silent);
    std::this_thread::sleep_for(2s);
    plant_.SetFault(DeviceId::kJumo1, {});
  }
};

TEST_F(FileFaultTest, LogFolderRemovedWhileRunningComesBack) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();
  fs::remove_all(dir_ / "LOG");
  ProvokeLogLines();
  EXPECT_TRUE(WaitForLog("Сбой чтения сигнала", 10s)) << "the folder is made again";
  EXPECT_TRUE(ServiceAlive());
  EXPECT_EQ(StopService(), 0);
}

// A file named LOG stands where the folder should be: no line can be written (root ignores
// permission bits, so this is how the suite makes the folder unusable). Acquisition goes
// on; once the file is gone the log resumes.
TEST_F(FileFaultTest, LogFolderUnusable) {
  std::ofstream(dir_ / "LOG") << "not a folder\n";
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << "acquisition does not depend on the log";
  ProvokeLogLines();
  EXPECT_TRUE(ServiceAlive());
  fs::remove(dir_ / "LOG");
  ProvokeLogLines();
  EXPECT_TRUE(WaitForLog("Сбой чтения сигнала", 10s));
  EXPECT_EQ(StopService(), 0);
}

// RLIMIT_FSIZE stands for a full disk: today's log is already past the limit, and so is
// the settings file, so its save at the end fails too. Neither failure may end the process
// (the default action of SIGXFSZ) and the settings file must stay whole.
TEST_F(FileFaultTest, DiskFullForTheLogAndTheSettings) {
  constexpr long kLimit = 16 * 1024;
  WriteSettings("; " + std::string(2 * kLimit, '-') + "\n");
  const std::string settingsBefore = ReadFileText(ini_);
  fs::create_directories(dir_ / "LOG");
  const std::string logBefore(kLimit + 100, 'x');
  std::ofstream(TodaysLogPath(), std::ios::binary) << logBefore;

  ASSERT_NO_FATAL_FAILURE(StartService(kLimit));
  ASSERT_TRUE(WaitForCycles()) << "acquisition goes on";
  ProvokeLogLines();
  EXPECT_TRUE(ServiceAlive());
  EXPECT_EQ(StopService(), 0);
  EXPECT_EQ(ReadFileText(TodaysLogPath()), logBefore);
  EXPECT_EQ(ReadFileText(ini_), settingsBefore) << "a failed save leaves the file as it was";
}

struct SettingsCase {
  const char* name;
  std::string text;  // the settings file; "@" is replaced by the working settings
  bool acquires;     // the working settings are read and acquisition starts
  const char* reported;
};

class SettingsFileTest : public FileFaultTest, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(SettingsFileTest, DefaultsForWhatCannotBeReadAndTheFileKept) {
  WriteSettings();
  const std::string working = ReadFileText(ini_);
  std::string text = GetParam().text;
  if (const size_t at = text.find('@'); at != std::string::npos) text.replace(at, 1, working);
  std::ofstream(ini_, std::ios::binary | std::ios::trunc) << text;

  ASSERT_NO_FATAL_FAILURE(StartService());
  if (GetParam().acquires) {
    EXPECT_TRUE(WaitForCycles()) << Log();
  }
  EXPECT_TRUE(WaitForLog(GetParam().reported, 30s)) << Log();
  EXPECT_TRUE(ServiceAlive());
  EXPECT_EQ(StopService(), 0) << Log();
  const std::string after = ReadFileText(ini_);
  EXPECT_GE(after.size(), text.size());
  EXPECT_NE(after.find(text.substr(0, 200)), std::string::npos) << "what was there is kept";
}

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsFileTest,
    ::testing::Values(
        SettingsCase{"BinaryGarbageBeforeTheSettings", Garbage(4096, 7) + "\n@", true,
                     "Подключение к MySQL произведено успешно."},
        SettingsCase{"VeryLongLines",
                     "; " + std::string(1 << 20, 'c') + "\n[other]\nUnknownKey=" +
                         std::string(100000, 'v') + "\n@",
                     true, "Подключение к MySQL произведено успешно."},
        SettingsCase{"DuplicateKeysAndSections",
                     "@[main]\nAutoStart=0\nModBUS_PortName=COM99\n[MAIN]\nAverageLen=abc\n"
                     "[mysql]\nComp=127.0.0.1:1\n",
                     true, "Подключение к MySQL произведено успешно."},
        SettingsCase{"NoSections", "AutoStart=1\nComp=/nowhere.sock\nLogin=nobody\n", false,
                     "*** MySQL: "}),
    [](const ::testing::TestParamInfo<SettingsCase>& info) { return info.param.name; });

// The per-port time-out files hold garbage: binary bytes, words, negative and huge numbers.
// The lines still work, and a silent device still cannot hold a poller past a stop.
TEST_F(FileFaultTest, TimeoutFilesWithGarbage) {
  std::ofstream(dir_ / "jumoSET.INI", std::ios::binary) << Garbage(2048, 3);
  std::ofstream(dir_ / "v120SET.INI") << "[timeouts]\nRInterval=abc\nRMult=\nRConst=99999999999\n";
  std::ofstream(dir_ / "bk003SET.INI") << "[timeouts]\nRInterval=-1\nRMult=-1\nRConst=-1\n"
                                       << "WMult=-7\nWConst=-30\n";
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();
  ASSERT_TRUE(plant_.SetSignal("TNK23", 3000));
  ASSERT_TRUE(WaitFor([&] { return StateValue("TNK23").has_value(); }, 10s));

  ExpectBk003ReadAgainAfterSilence();
  EXPECT_EQ(StopService(), 0);
}

// Budgets of weeks (2^31 ms and more) are cut to the ceiling of a serial wait: a silent
// BK-003 is asked again every few seconds, and a stop does not wait for the read in progress.
TEST_F(FileFaultTest, TimeoutFileWithHugeBudgets) {
  std::ofstream(dir_ / "bk003SET.INI") << "[timeouts]\nRInterval=0\n"
                                       << "RMult=2147483647\nRConst=2147483647\n"
                                       << "WMult=4294967295\nWConst=4294967295\n";
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();
  ExpectBk003ReadAgainAfterSilence();

  plantsim::FaultSet silent;
  silent.silent = true;
  plant_.SetFault(DeviceId::kBk003, silent);
  const uint64_t requests = plant_.Requests(DeviceId::kBk003);
  ASSERT_TRUE(WaitFor([&] { return plant_.Requests(DeviceId::kBk003) > requests; }, 5s));
  // The poller now waits in its read of up to two seconds.
  const auto stop = std::chrono::steady_clock::now();
  EXPECT_EQ(StopService(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stop, 1500ms)
      << "the stop wakes the read instead of waiting it out";
}

}  // namespace
}  // namespace kalvix::faults
