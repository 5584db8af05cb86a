// The whole service, without a window, against the simulated plant on pseudo-terminals and
// the private MariaDB server: readings reach last_state and pu_data, an operator task in
// control_vector reaches the controllers, and the end of the run is journaled.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <thread>

#include "acquisition/control_thread.h"
#include "app/load_config.h"
#include "app/service_jobs.h"
#include "testing/test_database.h"
#include "tools/plantsim/plant_simulator.h"

namespace kalvix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using plantsim::Line;

// The settings load without its designed pauses.
LoadConfigTiming QuickTiming() {
  LoadConfigTiming timing;
  timing.attempts = 2;
  timing.retryPause = 10ms;
  timing.settle = 0ms;
  return timing;
}

class ServiceEndToEndTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (HasFatalFailure()) return;
    db_.InstallDefaultPlant();

    std::string error;
    ASSERT_TRUE(plant_.Start(&error)) << error;
    dir_ = fs::temp_directory_path() / ("kalvix_e2e_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "kalvixsrv.ini")
        << "[main]\nModBUS_PortName=" << plant_.PortPath(Line::kModbus)
        << "\nV120_PortName=" << plant_.PortPath(Line::kVision)
        << "\nVK_PortName=" << plant_.PortPath(Line::kBk003) << "\nAverageLen=3\nMaxWriteCount=1\n"
        << "[MySQL]\nComp=" << db_.Server().socketPath << "\n";
    service_ = std::make_unique<ServiceState>(ResolveWorkingPaths(dir_ / "kalvixsrv.ini"));
    SetConnectionParam(service_->db.user, "Database", db_.Name());
    service_->log.EnableDrain();
    DrainEvents();
  }
  void TearDown() override {
    service_.reset();
    plant_.Stop();
    fs::remove_all(dir_);
    DbTest::TearDown();
  }

  // Plays the window thread: runs its jobs until `done` holds or `limit` has passed.
  bool RunWindowUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      TimerGetLogJob(*service_);
      if (done()) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  double StateValue(const char* column) {
    return DbNumberOr(db_.Value(std::string("select `") + column + "` from last_state"), -1);
  }

  plantsim::PlantSimulator plant_;
  fs::path dir_;
  std::unique_ptr<ServiceState> service_;
};

TEST_F(ServiceEndToEndTest, ReadingsTasksAndTheEndOfTheRun) {
  ServiceState& s = *service_;
  LoadConfig(s, QuickTiming());
  ASSERT_EQ(s.signals.SignalCount(), 27);
  ASSERT_TRUE(StartControl(s.acquisition));

  // Readings: the density reaches the current state, converted through its calibration.
  ASSERT_TRUE(RunWindowUntil(
      [&] { return s.control.CycleCounter.load() - s.control.ErrorCounter.load() >= 2; }, 20s))
      << "cycles " << s.control.CycleCounter.load() << ", failed " << s.control.ErrorCounter.load();
  ASSERT_TRUE(RunWindowUntil([&] { return StateValue("PLS") > 1.2; }, 5s));
  EXPECT_LT(StateValue("PLS"), 2.0);
  EXPECT_GT(DbNumberOr(db_.Value("select count(*) from pu_data"), 0), 0);

  // A task from another program reaches both controllers.
  db_.Exec("insert into control_vector values (now() + interval 1 second, 'op@plant', 1.62, 355)");
  const auto writes = [&](const char* signal) {
    int count = 0;
    for (const auto& w : plant_.Writes()) count += w.signal == signal;
    return count;
  };
  // MaxWriteCount 1: the density goes out on two passes, the load once.
  ASSERT_TRUE(RunWindowUntil([&] { return writes("_PLSZ") == 2 && writes("_TNZ") == 1; }, 15s))
      << plant_.FormatWrites();
  RunWindowUntil([] { return false; }, 2500ms);
  EXPECT_EQ(writes("_PLSZ"), 2) << plant_.FormatWrites();
  EXPECT_EQ(writes("_TNZ"), 1) << plant_.FormatWrites();
  // Every write carries the new task: never the previous set-point.
  for (const auto& w : plant_.Writes()) {
    if (w.signal == "_PLSZ") {
      EXPECT_NEAR(w.value, 1.62, 1e-6);
    } else if (w.signal == "_TNZ") {
      EXPECT_EQ(w.value, 355);
    }
  }

  ShutdownService(s, ShutdownReason::kSessionEnd);
  EXPECT_FALSE(s.control.ControlActive.load());
  const DbResult rows = db_.Rows("select MessageText from control_log order by RecMoment, NPP");
  std::vector<std::string> texts;
  for (const auto& row : rows.rows) texts.push_back(DbToText(row[0]));
  for (const char* expected :
       {">>> Запуск потока управления. <<<", "<<< Поток управления остановлен. >>>",
        "...Завершение работы перед выгрузкой Windows..."}) {
    EXPECT_NE(std::find(texts.begin(), texts.end(), expected), texts.end()) << expected;
  }
  EXPECT_NE(std::find_if(texts.begin(), texts.end(),
                         [](const std::string& t) { return t.rfind("Новое задание:", 0) == 0; }),
            texts.end());
}

// The run's first cycle waits for the pollers' first passes: a healthy start counts no error
// in its first cycles. A silent controller holds it one period at most: the cycle runs while
// that controller's first pass still goes on, and fails the freshness check as designed. Two
// runs of one service, so the second start awaits its own first passes.
TEST_F(ServiceEndToEndTest, FirstCycleAwaitsThePollersFirstPassesAtMostAPeriod) {
  using Clock = std::chrono::steady_clock;
  ServiceState& s = *service_;
  LoadConfig(s, QuickTiming());
  ASSERT_EQ(s.signals.SignalCount(), 27);
  struct Case {
    const char* name;
    bool jumo1Silent;
  };
  for (const Case c : {Case{"healthy", false}, Case{"JUMO 1 silent", true}}) {
    SCOPED_TRACE(c.name);
    plantsim::FaultSet faults;
    faults.silent = c.jumo1Silent;
    plant_.SetFault(plantsim::DeviceId::kJumo1, faults);
    s.control.CycleCounter = 0;  // the last run's; the new run's start clears it too
    ASSERT_TRUE(StartControl(s.acquisition));
    Clock::time_point launched{};
    bool jumoInFirstPass = false;
    const auto limit = Clock::now() + 10s;
    while (Clock::now() < limit && s.control.CycleCounter.load() < 1) {
      if (launched == Clock::time_point{} && s.control.V120Active.load()) launched = Clock::now();
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_GE(s.control.CycleCounter.load(), 1);
    jumoInFirstPass = s.control.PollerFirstPasses.Pending(Poller::kJumo);
    bool anyInFirstPass = jumoInFirstPass;
    for (Poller p : {Poller::kV120, Poller::kBk003}) {
      anyInFirstPass = anyInFirstPass || s.control.PollerFirstPasses.Pending(p);
    }
    const auto waited = Clock::now() - launched;
    std::cout << "[ first cycle ] " << c.name << ": "
              << std::chrono::duration<double, std::milli>(waited).count()
              << " ms after the pollers' launch\n";
    if (c.jumo1Silent) {
      EXPECT_TRUE(jumoInFirstPass) << "the first cycle did not wait for the silent controller";
      EXPECT_TRUE(RunWindowUntil([&] { return s.control.ErrorCounter.load() >= 1; }, 5s));
      EXPECT_GT(s.control.ModuleErrors[kModuleJumo1].load(), 0);
    } else if (anyInFirstPass) {
      // A machine so loaded that a healthy pass outlasted the period (0.7 s of the JUMO's
      // designed 0.98 s): the cycle may then fail as a silent device's does, but only after
      // the bound held it.
      EXPECT_GE(waited, 500ms) << "the first cycle did not wait for the pollers";
    } else {
      ASSERT_TRUE(RunWindowUntil([&] { return s.control.CycleCounter.load() >= 3; }, 10s));
      EXPECT_EQ(s.control.ErrorCounter.load(), 0) << "a healthy start counts no error";
    }
    s.control.StopRequest = true;
    ASSERT_TRUE(s.control.ControlActive.WaitClearFor(5s));
    ASSERT_TRUE(s.workers.JoinAll(5s));
    DrainEvents();
  }
}

// A stop reaches the control thread and every poller at once, wherever each one waits (the
// control thread possibly for a SELECT that this thread, playing the window, does not serve
// meanwhile): every running flag clears within the bound of the request, the control
// thread's after it has waited for the pollers and closed the links.
TEST_F(ServiceEndToEndTest, StopReachesEveryThreadWithinTheBound) {
  constexpr auto kStopBound = 50ms;
  ServiceState& s = *service_;
  LoadConfig(s, QuickTiming());
  ASSERT_TRUE(StartControl(s.acquisition));
  ASSERT_TRUE(RunWindowUntil(
      [&] { return s.control.CycleCounter.load() - s.control.ErrorCounter.load() >= 2; }, 20s));
  // Somewhere inside a cycle.
  const int32_t cycles = s.control.CycleCounter.load();
  ASSERT_TRUE(RunWindowUntil([&] { return s.control.CycleCounter.load() > cycles; }, 5s));
  RunWindowUntil([] { return false; }, 300ms);

  const auto stop = std::chrono::steady_clock::now();
  s.control.StopRequest = true;
  const std::pair<const RunningFlag*, const char*> flags[] = {
      {&s.control.V120Active, "V120"},
      {&s.control.JumoActive, "JUMO"},
      {&s.control.BkActive, "BK-003"},
      {&s.control.ControlActive, "control"},
  };
  for (const auto& [flag, name] : flags) {
    EXPECT_TRUE(flag->WaitClearUntil(stop + 5s)) << name;
    EXPECT_LT(std::chrono::steady_clock::now() - stop, kStopBound) << name;
  }
  EXPECT_TRUE(s.workers.JoinAll(1s));
}

}  // namespace
}  // namespace kalvix
