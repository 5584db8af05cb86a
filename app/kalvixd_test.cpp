// The real kalvixd against the simulated plant and a MariaDB server of the test's own: it
// starts by itself (AutoStart), writes the current state, rides out a database outage,
// and on SIGTERM journals its end, saves its settings and writes its log.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "persistence/db_connection.h"
#include "testing/file_text.h"
#include "testing/test_database.h"
#include "testing/wait_for.h"
#include "tools/plantsim/plant_simulator.h"
#include "util/profile_file.h"

extern char** environ;

namespace kalvix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using plantsim::Line;

TEST(KalvixdEntry, StartTimeBeyondAMinuteIsWaitedOutAndSigtermEndsIt) {
  char pattern[] = "/tmp/kalvix-entry-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  std::ofstream(dir / "kalvixsrv.ini") << "[MySQL]\nServiceName=\nStartTime=75\n";
  std::string program = std::string(KALVIX_BIN_DIR) + "/kalvixd";
  std::string option = "--config";
  std::string config = (dir / "kalvixsrv.ini").string();
  char* argv[] = {program.data(), option.data(), config.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
  std::this_thread::sleep_for(62s);
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "still waiting after a minute";
  EXPECT_FALSE(fs::exists(dir / "LOG")) << "the service has not been created yet";
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 3s);
  EXPECT_TRUE(ended);
  if (ended) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  } else {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  fs::remove_all(dir);
}

class KalvixdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Run("start")) << "see " << server_.Dir() << "/script.log";
    std::string error;
    ASSERT_TRUE(plant_.Start(&error)) << error;
    dir_ = fs::path(server_.Dir()) / "service";
    fs::create_directories(dir_);
    ini_ = dir_ / "kalvixsrv.ini";
    std::ofstream(ini_) << "; written by the test\n[main]\nAutoStart=1\nAverageLen=3\n"
                        << "ModBUS_PortName=" << plant_.PortPath(Line::kModbus) << "\n"
                        << "V120_PortName=" << plant_.PortPath(Line::kVision) << "\n"
                        << "VK_PortName=" << plant_.PortPath(Line::kBk003) << "\n"
                        << "[MySQL]\nComp=" << server_.Socket() << "\nServiceName=\nStartTime=0\n";
    SetConnectionParam(db_, "HostName", server_.Socket());
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    plant_.Stop();
  }

  void StartService(const char* name = "kalvixd", std::vector<std::string> options = {}) {
    std::vector<std::string> args = {std::string(KALVIX_BIN_DIR) + "/" + name, "--config",
                                     ini_.string()};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  }
  // SIGTERM, then the exit status within 20 s (-1 when it did not end).
  int Terminate() {
    if (::kill(pid_, SIGTERM) != 0) return -1;
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 20s)) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string JournalTexts() {
    DbResult journal;
    if (!db_.Connect().ok() || !db_.Query("select MessageText from control_log", journal).ok()) {
      return {};
    }
    std::string texts;
    for (const auto& row : journal.rows) texts += DbToText(row[0]) + "\n";
    return texts;
  }
  // The current state's moment and density, or nothing while the server is away.
  std::optional<std::pair<double, double>> State() {
    if (!db_.Connected() && !db_.Connect().ok()) return std::nullopt;
    DbResult r;
    if (!db_.Query("select RecMoment, PLS from last_state", r).ok() || r.rows.empty()) {
      return std::nullopt;
    }
    double moment = 0, pls = 0;
    if (!DbToNumber(r.rows[0][0], moment) || !DbToNumber(r.rows[0][1], pls)) return std::nullopt;
    return std::make_pair(moment, pls);
  }
  std::string TodaysLog() { return ReadFileText(dir_ / "LOG" / (FormatDateTime("yyyy_mm_dd", Now()) + ".log")); }

  PrivateServer server_;
  plantsim::PlantSimulator plant_;
  fs::path dir_;
  fs::path ini_;
  DbConnection db_;
  pid_t pid_ = -1;
};

TEST_F(KalvixdTest, RunsByItselfSurvivesADatabaseOutageAndEndsCleanly) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitFor([&] { auto s = State(); return s && s->second > 1.2 && s->second < 2.0; }, 40s))
      << TodaysLog();

  // The server goes away for a while: cycles stop, reconnections are counted in the log.
  ASSERT_TRUE(server_.Run("stop"));
  db_.Disconnect();
  ASSERT_TRUE(WaitFor([&] { return TodaysLog().find("Не могу подключиться к MySQL серверу.") !=
                                   std::string::npos; },
                      15s));
  std::this_thread::sleep_for(5s);
  ASSERT_TRUE(server_.Run("start"));
  const double before = State() ? State()->first : 0;
  ASSERT_TRUE(WaitFor([&] { auto s = State(); return s && s->first > before; }, 30s))
      << "the current state moves again after the server returns\n" << TodaysLog();

  // SIGTERM: the end of the run is journaled and the settings are saved.
  EXPECT_EQ(Terminate(), 0);
  const std::string texts = JournalTexts();
  for (const char* expected : {"Программа контроля загружена.", ">>> Запуск потока управления. <<<",
                               "<<< Поток управления остановлен. >>>",
                               "...Завершение работы перед выгрузкой Windows..."}) {
    EXPECT_NE(texts.find(expected), std::string::npos) << expected << "\n" << texts;
  }
  const std::string log = TodaysLog();
  EXPECT_NE(log.find("--> Запуск программы <---"), std::string::npos);
  EXPECT_NE(log.find("--> Завершение работы перед выгрузкой Windows <---"), std::string::npos);
  ProfileFile saved(ini_);
  ASSERT_TRUE(saved.Load());
  EXPECT_EQ(saved.ReadString("MySQL", "Password", "").size(), 50u) << "written at the end";
  EXPECT_EQ(ReadFileText(ini_).rfind("; written by the test\n", 0), 0u) << "comments kept";
}

// The window program runs the same service: on its own with AutoStart, and to the same end
// on SIGTERM; with --headless it hands over to kalvixd before it shows any window.
TEST_F(KalvixdTest, WindowProgramRunsTheSameServiceAndEndsOnSigterm) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  struct Case {
    std::vector<std::string> options;
    const char* runsAs;
  };
  const Case cases[] = {{{}, "kalvixsrv"}, {{"--headless"}, "kalvixd"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.runsAs);
    ASSERT_NO_FATAL_FAILURE(StartService("kalvixsrv", c.options));
    const double before = State() ? State()->first : 0;
    ASSERT_TRUE(WaitFor([&] { auto s = State(); return s && s->first > before; }, 40s))
        << TodaysLog();
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid_) + "/exe").filename(), c.runsAs);
    EXPECT_EQ(Terminate(), 0);
    EXPECT_NE(JournalTexts().find("...Завершение работы перед выгрузкой Windows..."),
              std::string::npos);
    ASSERT_TRUE(db_.Connect().ok());
    ASSERT_TRUE(db_.Execute("delete from control_log").ok());
  }
}

}  // namespace
}  // namespace kalvix
