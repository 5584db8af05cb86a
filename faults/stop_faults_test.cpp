// A stop of the real kalvixd while it waits on a database server that does not answer: one
// that accepts connections and never says a word, during the settings load's connection
// attempts, and the suite's server frozen (SIGSTOP) during the start and under a statement of
// the running service. SIGTERM and SIGINT must end it in time with status 0 and the usual
// shutdown: its log lines, the settings saved, and where the end's journal row cannot be
// written, a line that says so. The time each stop took is printed; the target figure is the
// stop benchmark's (bench/stop_bench.cpp), not this suite's.
#include <signal.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "faults/service_harness.h"
#include "testing/tcp_listeners.h"
#include "util/profile_file.h"

namespace kalvix::faults {
namespace {

// Far beyond a stop that waits for nothing, far below the 30 to 80 s of a stop that waited out
// the client's time-outs and the settings load's sixteen attempts.
constexpr auto kStopBound = 10s;

constexpr const char* kStarted = "--> Запуск программы <---";
constexpr const char* kShutdownLine = "--> Завершение работы перед выгрузкой Windows <---";
constexpr const char* kNotWritten = "*** MySQL сервер не принял записи до завершения работы";
constexpr const char* kConnected = "Подключение к MySQL произведено успешно.";

enum class Phase {
  kSettingsLoadAttempts,     // the server accepts and never answers: the attempts of tick 5
  kStartOnFrozenServer,      // frozen just after the settings load reached it
  kStatementOnFrozenServer,  // frozen under the running cycles' statements
};

struct StopCase {
  const char* name;
  Phase phase;
  int signal;
  // The end's journal row waits in the statement queue when the stop comes, so the shutdown
  // says it could not be written. (Frozen during the start, the row may instead go to the
  // spool at once: the work connection is already known to be down.)
  bool unwrittenSaid;
};

class StopFaultTest : public ServiceHarness, public ::testing::WithParamInterface<StopCase> {};

// Resumes the frozen server however the test ends, so the next test finds it answering.
class Thaw {
 public:
  ~Thaw() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
  }
  void Freeze(pid_t pid) {
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    pid_ = pid;
  }

 private:
  pid_t pid_ = 0;
};

TEST_P(StopFaultTest, EndsInTimeWithTheUsualShutdown) {
  const StopCase& c = GetParam();
  SilentListener silent;
  ASSERT_NE(silent.Port(), 0u);
  if (c.phase == Phase::kSettingsLoadAttempts) dbHost_ = silent.Entry();
  WriteSettings();
  ASSERT_NO_FATAL_FAILURE(StartService());

  Thaw thaw;
  switch (c.phase) {
    case Phase::kSettingsLoadAttempts:
      ASSERT_TRUE(WaitForLog(kStarted, 10s)) << Log();
      // Tick 5 comes 1.25 s after the start, and its first attempt waits 5 s for a greeting.
      std::this_thread::sleep_for(2s);
      break;
    case Phase::kStartOnFrozenServer:
      ASSERT_TRUE(WaitForLog(kConnected, 20s)) << Log();
      db_.Disconnect();
      ASSERT_NO_FATAL_FAILURE(thaw.Freeze(ServerPid()));
      // The signal set's load, the journal row, tick 9's probe query and the control thread's
      // connection all meet the frozen server now.
      std::this_thread::sleep_for(2s);
      break;
    case Phase::kStatementOnFrozenServer:
      ASSERT_TRUE(WaitForCycles()) << Log();
      db_.Disconnect();
      ASSERT_NO_FATAL_FAILURE(thaw.Freeze(ServerPid()));
      std::this_thread::sleep_for(1500ms);  // a cycle's statement is on the server
      break;
  }
  ASSERT_TRUE(ServiceAlive()) << Log();

  const auto start = std::chrono::steady_clock::now();
  const std::optional<int> status = StopService(kStopBound, c.signal);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << "[ stop ] " << c.name << ": ended " << seconds << " s after the signal\n";

  const std::string log = Log();
  ASSERT_EQ(status, 0) << "ended in time with status 0\n" << log;
  EXPECT_NE(log.find(kShutdownLine), std::string::npos) << log;
  if (c.unwrittenSaid) {
    EXPECT_NE(log.find(kNotWritten), std::string::npos) << log;
  }
  ProfileFile saved(ini_);
  ASSERT_TRUE(saved.Load());
  EXPECT_EQ(saved.ReadValue("main", "SaveLogFlag"), "1") << "the settings were saved";
  // A load cut short turns nothing off: a failed one would have cleared AutoStart.
  EXPECT_EQ(saved.ReadValue("main", "AutoStart"), "1");
}

INSTANTIATE_TEST_SUITE_P(
    Stops, StopFaultTest,
    ::testing::Values(
        StopCase{"SigtermDuringTheSettingsLoadAttempts", Phase::kSettingsLoadAttempts, SIGTERM,
                 true},
        StopCase{"SigintDuringTheSettingsLoadAttempts", Phase::kSettingsLoadAttempts, SIGINT, true},
        StopCase{"SigintDuringTheStartOnAFrozenServer", Phase::kStartOnFrozenServer, SIGINT, false},
        StopCase{"SigtermUnderAStatementOnAFrozenServer", Phase::kStatementOnFrozenServer, SIGTERM,
                 true}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kalvix::faults
