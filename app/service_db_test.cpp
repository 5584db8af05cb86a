// The service's window-thread side against the private MariaDB server: LoadConfig, the
// start-up ticks and the shutdown sequence.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "acquisition/control_thread.h"
#include "acquisition/signal_loader.h"
#include "app/config_file.h"
#include "app/load_config.h"
#include "app/operator_task.h"
#include "app/process_entry.h"
#include "app/service_jobs.h"
#include "app/startup.h"
#include "testing/file_text.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ServiceTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (HasFatalFailure()) return;
    dir_ = fs::temp_directory_path() /
           ("kalvix_svc_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ini_ = dir_ / "kalvixsrv.ini";
    hooks_.loadConfigTiming.attempts = 2;
    hooks_.loadConfigTiming.retryPause = 10ms;
    hooks_.loadConfigTiming.settle = 0ms;
    hooks_.loadConfigTiming.workersBound = 200ms;
    DrainEvents();
  }
  void TearDown() override {
    service_.reset();
    fs::remove_all(dir_);
    DbTest::TearDown();
  }

  // A service whose settings file names `comp` as the database server; its connections go
  // to the scratch database.
  ServiceState& Service(const std::string& comp, const std::string& extra = "") {
    std::ofstream(ini_) << "[MySQL]\nComp=" << comp << "\n" << extra;
    service_ = std::make_unique<ServiceState>(ResolveWorkingPaths(ini_));
    SetConnectionParam(service_->db.user, "Database", db_.Name());
    service_->log.EnableDrain();
    return *service_;
  }
  void LoadDefaultPlant() { db_.InstallDefaultPlant(); }
  // Waits until `done` holds or `limit` passes; the database thread serves the queues.
  bool RunWindowUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  static bool Contains(const std::vector<std::string>& events, const std::string& text) {
    return std::find(events.begin(), events.end(), text) != events.end();
  }

  fs::path dir_;
  fs::path ini_;
  StartupHooks hooks_;
  std::unique_ptr<ServiceState> service_;
};

TEST_F(ServiceTest, LoadConfigConnectsAndLoadsTheSignalSet) {
  LoadDefaultPlant();
  ServiceState& s = Service(db_.Server().socketPath, "[main]\nAutoStart=1\n");
  LoadConfig(s, hooks_.loadConfigTiming);
  EXPECT_TRUE(s.db.user.Connected());
  EXPECT_EQ(s.signals.SignalCount(), 27);
  EXPECT_TRUE(s.SettingsSnapshot().AutoStart);
  const auto events = DrainEvents();
  EXPECT_TRUE(Contains(events, "Подключение к MySQL произведено успешно."));
  EXPECT_EQ(s.db.statements.Count(), 1u) << "the journal row";
}

// The pause between the connection and the signal set: the designed second unless the file's
// [MySQL] SettleMs sets another (0: none at all); a value out of range keeps the second.
TEST_F(ServiceTest, SettlePauseIsTheDesignedSecondUnlessTheFileSetsIt) {
  LoadDefaultPlant();
  struct Case {
    const char* extra;
    std::vector<std::chrono::milliseconds> pauses;
  };
  const Case cases[] = {
      {"", {1000ms}},
      {"SettleMs=250\n", {250ms}},
      {"SettleMs=0\n", {}},
      {"SettleMs=-1\n", {1000ms}},
      {"SettleMs=60000\n", {1000ms}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    ServiceState& s = Service(db_.Server().socketPath, c.extra);
    LoadConfigTiming timing = hooks_.loadConfigTiming;
    timing.settle = 1000ms;
    std::vector<std::chrono::milliseconds> pauses;
    timing.pause = [&pauses](std::chrono::milliseconds length) { pauses.push_back(length); };
    LoadConfig(s, timing);
    EXPECT_TRUE(s.db.user.Connected());
    EXPECT_EQ(pauses, c.pauses);
    EXPECT_EQ(s.signals.SignalCount(), 27);
    DrainEvents();
  }
}

TEST_F(ServiceTest, SignalSetIsNotReplacedUnderRunningPollers) {
  LoadDefaultPlant();
  ServiceState& s = Service(db_.Server().socketPath);
  s.control.JumoActive = true;  // a poller of an earlier run has not left yet
  LoadConfig(s, hooks_.loadConfigTiming);
  EXPECT_EQ(s.signals.SignalCount(), 0);
  s.control.JumoActive = false;
  LoadConfig(s, hooks_.loadConfigTiming);
  EXPECT_EQ(s.signals.SignalCount(), 27);
}

TEST_F(ServiceTest, UnreachableDatabaseClearsAutoStart) {
  ServiceState& s = Service((dir_ / "no.sock").string(), "[main]\nAutoStart=1\n");
  LoadConfig(s, hooks_.loadConfigTiming);
  EXPECT_FALSE(s.db.user.Connected());
  EXPECT_FALSE(s.SettingsSnapshot().AutoStart);
  EXPECT_EQ(s.signals.SignalCount(), 0);
  EXPECT_TRUE(Contains(DrainEvents(), "Не могу подключиться к MySQL cерверу."));
  EXPECT_EQ(s.db.statements.Count(), 1u) << "the journal row is still queued";
}

// A password typed into the file in clear stops LoadConfig before it connects; with
// AutoStart set, the ticks come back to LoadConfig until it can connect.
TEST_F(ServiceTest, StartupTicksRetryLoadConfigWhileAutoStartWaits) {
  ServiceState& s = Service(db_.Server().socketPath, "Password=typed\n[main]\nAutoStart=1\n");
  int hides = 0;
  hooks_.hideWindow = [&] { ++hides; };
  for (int tick = 1; tick <= 9; ++tick) EXPECT_TRUE(RunStartupTick(s, hooks_));
  EXPECT_EQ(hides, 0);
  EXPECT_EQ(s.startup.StartupTick, 5) << "tick 7 went back to 3, tick 5 ran again";
  const auto events = DrainEvents();
  EXPECT_EQ(std::count(events.begin(), events.end(), "Ошибка в LoadConfig"), 2);
  EXPECT_FALSE(s.db.user.Connected());
}

TEST_F(ServiceTest, StartupTicksLoadHideAndSettle) {
  LoadDefaultPlant();
  ServiceState& s = Service(db_.Server().socketPath, "[main]\nAutoHide=1\nAverageLen=7\n");
  s.ApplySettings([this](Settings& settings) {  // as the process entry does
    settings.AutoHide = ReadEntryKeys(ini_).AutoHide;
    return true;
  });
  int hides = 0, settingsShown = 0;
  bool emulatorPage = true;
  hooks_.hideWindow = [&] { ++hides; };
  hooks_.showSettings = [&] { ++settingsShown; };
  hooks_.showEmulatorPage = [&](bool show) { emulatorPage = show; };
  for (int tick = 1; tick <= 12; ++tick) EXPECT_TRUE(RunStartupTick(s, hooks_));
  EXPECT_EQ(s.startup.StartupTick, 10);
  EXPECT_EQ(hides, 1);
  EXPECT_EQ(settingsShown, 1);
  EXPECT_FALSE(emulatorPage);
  EXPECT_EQ(s.signals.Average(0)->GetSize(), 7);
  EXPECT_FALSE(s.control.ControlActive.load()) << "no AutoStart";
  EXPECT_TRUE(Contains(DrainEvents(), "## Скрытый режим ##"));
}

// The journal rows of the end of the run are written before the queue servers stop, and the
// settings file is written.
TEST_F(ServiceTest, ShutdownWritesTheLastJournalRowsAndTheSettings) {
  ServiceState& s = Service(db_.Server().socketPath);
  LoadConfig(s, hooks_.loadConfigTiming);
  ASSERT_TRUE(s.db.user.Connected());
  ShutdownService(s, ShutdownReason::kSessionEnd);
  EXPECT_TRUE(s.db.closing.load());
  EXPECT_FALSE(s.db.user.Connected());
  EXPECT_EQ(s.db.statements.Count(), 0u);
  const DbResult rows = db_.Rows("select MessageText from control_log order by RecMoment, NPP");
  ASSERT_EQ(rows.rows.size(), 2u);
  EXPECT_EQ(DbToText(rows.rows[0][0]), "Программа контроля загружена.");
  EXPECT_EQ(DbToText(rows.rows[1][0]), "...Завершение работы перед выгрузкой Windows...");
  Settings saved;
  ASSERT_TRUE(LoadConfigFile(ini_, saved));
  EXPECT_EQ(saved.Comp, db_.Server().socketPath);
  const auto today = dir_ / "LOG" / DailyLog::FileNameFor(Now());
  std::ifstream log(today);
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("--> Завершение работы перед выгрузкой Windows <---"),
            std::string::npos)
      << "the last events reach the log file";
}

// A stop before the start-up has read the settings file leaves the file as the site wrote
// it: the defaults in memory are not saved over it.
TEST_F(ServiceTest, ShutdownBeforeTheSettingsAreReadLeavesTheFileAlone) {
  ServiceState& s = Service(db_.Server().socketPath, "[main]\nModBUS_PortName=/dev/ttyS7\n");
  const std::string before = ReadFileText(ini_);
  DrainEvents();
  ShutdownService(s, ShutdownReason::kSessionEnd);
  EXPECT_EQ(ReadFileText(ini_), before);
  const std::string log = ReadFileText(dir_ / "LOG" / DailyLog::FileNameFor(Now()));
  EXPECT_NE(log.find("--- Файл настроек не сохранен: он еще не был прочитан ---"),
            std::string::npos);
}

// The server ends the window thread's session after a quiet time (wait_timeout, 8 hours by
// default; a server restart does the same): "Старт", the task page, the reload of the signal
// set and the editors all work again at once, on a new session.
TEST_F(ServiceTest, UserConnectionEndedByTheServerServesEveryCallerAgain) {
  LoadDefaultPlant();
  const std::string missing = (dir_ / "ttyNONE").string();
  ServiceState& s = Service(db_.Server().socketPath, "[main]\nModBUS_PortName=" + missing + "\n");
  LoadConfig(s, hooks_.loadConfigTiming);
  ASSERT_TRUE(s.db.user.Connected());
  struct Case {
    const char* caller;
    std::function<bool()> run;
  };
  const Case cases[] = {
      {"start check",
       [&] {
         const bool started = StartControl(s.acquisition);
         // The thread ends by itself at its missing port.
         RunWindowUntil([&] { return s.workers.Running() == 0; }, 10s);
         return started;
       }},
      {"task page",
       [&] { return EnterOperatorTask(s, "1.5", "300").kind == OperatorTaskResult::kStored; }},
      {"signal set reload", [&] { return LoadSignalSet(s.db.user, s.signals).ok(); }},
      {"editor",
       [&] {
         DbResult rows;
         return s.db.user.Query("select * from kalibr", rows).ok() && !rows.rows.empty();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caller);
    ASSERT_TRUE(s.db.user.Execute("set session wait_timeout = 1").ok());
    std::this_thread::sleep_for(DbConnection::kIdleProbe + 500ms);
    EXPECT_TRUE(c.run());
    EXPECT_TRUE(s.db.user.Connected());
  }
  EXPECT_EQ(db_.Value("select count(*) from control_vector"), DbValue{int64_t{1}});
}

TEST_F(ServiceTest, ControlThreadEndsWhenItsPortCannotBeOpened) {
  const std::string missing = (dir_ / "ttyNONE").string();
  ServiceState& s = Service(db_.Server().socketPath, "[main]\nModBUS_PortName=" + missing + "\n");
  LoadConfig(s, hooks_.loadConfigTiming);
  ASSERT_TRUE(StartControl(s.acquisition));
  ASSERT_TRUE(RunWindowUntil([&] { return s.workers.Running() == 0; }, 10s));
  EXPECT_FALSE(s.control.ControlActive.load());
  EXPECT_TRUE(Contains(DrainEvents(), "JUMO: Не могу подключить порт " + missing));
  EXPECT_EQ(s.control.CycleCounter.load(), 0);
}

// With both emulators on, no port is needed: the thread runs its cycles on the operator's
// values and stops on request.
TEST_F(ServiceTest, EmulatedPlantRunsWithoutPortsAndStops) {
  LoadDefaultPlant();
  const std::string missing = (dir_ / "ttyNONE").string();
  ServiceState& s = Service(db_.Server().socketPath, "[main]\nModBUS_PortName=" + missing +
                                                         "\nV120_PortName=" + missing +
                                                         "\nVK_PortName=" + missing + "\n");
  LoadConfig(s, hooks_.loadConfigTiming);
  s.control.JumoEmulFlag = true;
  s.control.V120EmulFlag = true;
  s.signals.EmulatorValues.SetSlot(s.signals.SignalIndex("PLS"), 12);
  ASSERT_TRUE(StartControl(s.acquisition));
  EXPECT_TRUE(RunWindowUntil(
      [&] { return s.control.CycleCounter.load() - s.control.ErrorCounter.load() >= 2; }, 15s));
  EXPECT_DOUBLE_EQ(s.signals.InstantValues.Slot(s.signals.SignalIndex("PLS")), 1.585);
  StopControl(s.acquisition);
  EXPECT_TRUE(RunWindowUntil([&] { return s.workers.Running() == 0; }, 5s))
      << "every worker ends after the stop request";
  EXPECT_FALSE(s.control.ControlActive.load());
}

// [MySQL] Database names the database of both connections: the user connection loads the
// signal set from it, and the work connection, which the control thread starts with the user
// connection's parameters, writes the state rows into it.
TEST_F(ServiceTest, DatabaseKeyNamesTheDatabaseOfBothConnections) {
  LoadDefaultPlant();
  const std::string missing = (dir_ / "ttyNONE").string();
  ServiceState& s = Service(db_.Server().socketPath,
                            "Database=" + db_.Name() + "\n[main]\nModBUS_PortName=" + missing +
                                "\nV120_PortName=" + missing + "\nVK_PortName=" + missing + "\n");
  SetConnectionParam(s.db.user, "Database", "kalvix_no_such_database");  // the key must win
  LoadConfig(s, hooks_.loadConfigTiming);
  ASSERT_TRUE(s.db.user.Connected());
  EXPECT_EQ(s.signals.SignalCount(), 27);
  s.control.JumoEmulFlag = true;
  s.control.V120EmulFlag = true;
  ASSERT_TRUE(StartControl(s.acquisition));
  EXPECT_TRUE(RunWindowUntil(
      [&] { return DbNumberOr(db_.Value("select count(*) from last_state"), 0) > 0; }, 15s))
      << "no state row from the work connection";
  EXPECT_EQ(s.db.work.Params().Value("Database"), db_.Name());
  StopControl(s.acquisition);
  EXPECT_TRUE(RunWindowUntil([&] { return s.workers.Running() == 0; }, 5s));
}

}  // namespace
}  // namespace kalvix
