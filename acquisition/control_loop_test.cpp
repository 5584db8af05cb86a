// The control loop one pass at a time, without ports, pollers or pacing: a clock of the test's
// own, the statements recorded, the SELECTs answered here. The work connection is real (the
// private server, or a socket where none listens), so a cycle meets a connection that is
// really down.
#include "acquisition/control_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "testing/test_database.h"
#include "testing/test_signals.h"

namespace kalvix {

void PrintTo(PassOutcome outcome, std::ostream* os) {
  static constexpr const char* kNames[] = {"kCycleDone", "kFailed"};
  *os << kNames[static_cast<int>(outcome)];
}

namespace {

using testing::Input;
using testing::WithDirection;

// Records what the stages queue; a statement that starts with throwOn throws instead, as a
// queue that fails inside would.
class RecordingSink : public StatementSink {
 public:
  bool QueueStatement(std::string_view sql) override {
    if (!throwOn.empty() && sql.starts_with(throwOn)) throw std::runtime_error("sink");
    statements.emplace_back(sql);
    return true;
  }

  std::string throwOn;
  std::vector<std::string> statements;
};

// Answers the SELECTs by the start of their text; any other gets NULL (no row).
class ScriptedSelects : public SelectSource {
 public:
  enum class Reply { kValue, kRefuse, kThrow, kThrowNonStandard };
  struct Rule {
    std::string prefix;
    Reply reply;
    DbValue value;
  };

  bool SelectValue(std::string_view sql, DbValue& value) override {
    asked.emplace_back(sql);
    for (const Rule& rule : rules) {
      if (!sql.starts_with(rule.prefix)) continue;
      switch (rule.reply) {
        case Reply::kValue:
          value = rule.value;
          return true;
        case Reply::kRefuse:
          return false;
        case Reply::kThrow:
          throw std::runtime_error("нет ответа");
        case Reply::kThrowNonStandard:
          throw 42;
      }
    }
    value = DbValue{};
    return true;
  }

  std::vector<Rule> rules;
  std::vector<std::string> asked;
};

constexpr const char* kStateUpdate = "UPDATE last_state SET RecMoment=Now()";
constexpr const char* kLastStateCount = "select count(*) Rez from last_state";
constexpr const char* kTaskSelect = "select CAST( IFNULL( max(RecMoment)";
constexpr const char* kOldModeSelect = "select max(RecMoment) as Rez from pu_data";

class ControlLoopTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (HasFatalFailure()) return;
    user_.SetParams(db_.Params());
    signals_.Replace(
        {Input("PLS"), Input("LEVEL", "V120"), WithDirection(Input("_PLSZ"), "WRITE")});
    signals_.ResetAverages(3);
    // The row of last_state is there, so the first cycle queues no insert and waits for none.
    selects_.rules.push_back({kLastStateCount, ScriptedSelects::Reply::kValue, int64_t{1}});
    HearAllModules();
  }

  ControlLoop& Loop() {
    if (!loop_) loop_ = std::make_unique<ControlLoop>(acquisition_, [this] { return now_; });
    return *loop_;
  }
  // Every module had a good exchange a second ago.
  void HearAllModules() {
    for (auto& lastOk : control_.ModuleLastOk) lastOk = now_ - 1.0 / kSecondsPerDay;
  }
  void Forget() {
    sink_.statements.clear();
    selects_.asked.clear();
    DrainEvents();
  }
  // The work connection down, and a reconnect that fails at once: no server listens there.
  void LoseTheServer() {
    ConnectionParams params = db_.Params();
    params.Set("HostName", "/tmp/kalvix_no_server_" + std::to_string(::getpid()) + ".sock");
    work_.Disconnect();
    work_.SetParams(params);
  }
  // The statements queued, each cut to the length of the expected one.
  std::vector<std::string> Queued(const std::vector<std::string>& expected) const {
    std::vector<std::string> cut;
    for (size_t i = 0; i < sink_.statements.size(); ++i) {
      cut.push_back(i < expected.size() ? sink_.statements[i].substr(0, expected[i].size())
                                        : sink_.statements[i]);
    }
    return cut;
  }

  DateTime now_ = EncodeDateTime({2026, 3, 4, 5, 6, 10, 0});
  ControlState control_;
  SignalSet signals_;
  Setpoints setpoints_;
  PlantConstants constants_;
  PollerCounters pollerCounters_;
  BusLedgers busLedgers_;
  TModBUS modbus_;
  TVisionLink vision_;
  WorkerThreads workers_;
  DbConnection user_;
  RecordingSink sink_;
  ScriptedSelects selects_;
  JournalNumbering journal_{0};
  StateRecord stateRecord_;
  MinuteHistory history_;
  Settings settings_;
  // The fixture's pieces, with the statements going to `sink`.
  Acquisition AcquisitionWith(StatementSink& sink) {
    return {control_,
            signals_,
            setpoints_,
            constants_,
            pollerCounters_,
            busLedgers_,
            modbus_,
            vision_,
            workers_,
            user_,
            work_,
            sink,
            selects_,
            journal_,
            stateRecord_,
            history_,
            {},
            [this] { return settings_; }};
  }
  const Acquisition acquisition_ = AcquisitionWith(sink_);
  std::unique_ptr<ControlLoop> loop_;
};

// The stages run in their order, every one on the loop's clock: the state row carries this
// cycle's translated values, the minute row its averages; the first cycle of a minute inserts
// the minute row and the later ones overwrite it.
TEST_F(ControlLoopTest, CyclesRunTheStagesInOrderOnTheLoopsClock) {
  Loop().Launch();
  EXPECT_EQ(control_.ThreadStartTime.load(), now_);
  const std::vector<std::pair<double, double>> passes = {{0, 42}, {20, 44}, {40, 46}};  // s, PLS
  for (const auto& [seconds, pls] : passes) {
    now_ += seconds / kSecondsPerDay;
    HearAllModules();
    signals_.RawValues.SetSlot(signals_.SignalIndex("PLS"), pls);
    EXPECT_EQ(Loop().RunPass(), PassOutcome::kCycleDone);
  }

  const std::vector<std::string> expected = {
      "UPDATE last_state SET RecMoment=Now(), `PLS`=42, `LEVEL`=0",
      "INSERT into pu_data (RecMoment , `PLS`, `LEVEL`, `_PLSZ`) VALUES( '2026-03-04 05:06:00' , "
      "42, 0, 0)",
      "UPDATE last_state SET RecMoment=Now(), `PLS`=44, `LEVEL`=0",
      "UPDATE pu_data SET `PLS`=43, `LEVEL`=0  where RecMoment='2026-03-04 05:06:00'",
      "UPDATE last_state SET RecMoment=Now(), `PLS`=46, `LEVEL`=0",
      "INSERT into pu_data (RecMoment , `PLS`, `LEVEL`, `_PLSZ`) VALUES( '2026-03-04 05:07:00' , "
      "44, 0, 0)"};
  EXPECT_EQ(sink_.statements, expected);
  EXPECT_EQ(selects_.asked.front(), kLastStateCount);
  EXPECT_EQ(std::count(selects_.asked.begin(), selects_.asked.end(), kLastStateCount), 1)
      << "the row is checked once per run";
  EXPECT_EQ(signals_.InstantValues.Stamp(), now_);
  EXPECT_EQ(signals_.AveragedValues.Stamp(), now_);
  EXPECT_EQ(control_.CycleCounter.load(), 3);
  EXPECT_EQ(control_.ErrorCounter.load(), 0);
  EXPECT_TRUE(DrainEvents().empty());
}

// A cycle without fresh device data fails before any statement, and says nothing.
TEST_F(ControlLoopTest, StaleDataOrABadSignalCountFailsTheCycleSilently) {
  struct Case {
    const char* name;
    int signalCount;  // 0: the fixture's three; -1: none
    int staleModule;  // -1: none
    double age;       // seconds since that module's last good exchange
    PassOutcome outcome;
  };
  const Case cases[] = {
      {"all fresh", 0, -1, 0, PassOutcome::kCycleDone},
      {"JUMO 1 silent", 0, kModuleJumo1, 5.5, PassOutcome::kFailed},
      {"JUMO 2 silent", 0, kModuleJumo2, 5.5, PassOutcome::kFailed},
      {"V120 silent", 0, kModuleV120, 5.5, PassOutcome::kFailed},
      {"V120 just in time", 0, kModuleV120, 4.5, PassOutcome::kCycleDone},
      {"never heard since the start", 0, kModuleJumo2, now_ * kSecondsPerDay, PassOutcome::kFailed},
      {"BK-003 takes no part", 0, kModuleBk003, 600, PassOutcome::kCycleDone},
      {"no signals", -1, -1, 0, PassOutcome::kFailed},
      {"90 signals", 90, -1, 0, PassOutcome::kCycleDone},
      {"91 signals", 91, -1, 0, PassOutcome::kFailed},
  };
  const std::vector<TSignalSet> layout = signals_.Signals();
  Loop().Launch();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.signalCount != 0) signals_.Replace(std::vector<TSignalSet>(std::max(c.signalCount, 0)));
    now_ += 60.0 / kSecondsPerDay;  // each case in a minute of its own: the row is inserted
    HearAllModules();
    if (c.staleModule >= 0) control_.ModuleLastOk[c.staleModule] = now_ - c.age / kSecondsPerDay;
    Forget();
    const int cycles = control_.CycleCounter.load();
    const int errors = control_.ErrorCounter.load();

    EXPECT_EQ(Loop().RunPass(), c.outcome);
    EXPECT_EQ(control_.CycleCounter.load(), cycles + 1);
    if (c.outcome == PassOutcome::kFailed) {
      EXPECT_EQ(control_.ErrorCounter.load(), errors + 1);
      EXPECT_TRUE(sink_.statements.empty());
      EXPECT_TRUE(selects_.asked.empty());
    } else {
      EXPECT_EQ(control_.ErrorCounter.load(), errors);
      EXPECT_EQ(sink_.statements.size(), 2u) << "the state and the minute rows";
    }
    EXPECT_TRUE(DrainEvents().empty());
    signals_.Replace(layout);
  }
}

// A stage that fails ends the cycle there and counts it; the set-point stage's failure does
// not count. An exception that leaves a stage is counted and posted the same way, and never
// leaves the pass.
TEST_F(ControlLoopTest, AFailingStageEndsAndCountsTheCycle) {
  using Reply = ScriptedSelects::Reply;
  struct Case {
    const char* name;
    std::string throwOn;                       // statements that throw in the sink
    std::vector<ScriptedSelects::Rule> rules;  // in front of the fixture's
    bool oldUpdateMode;
    PassOutcome outcome;
    std::vector<std::string> queued;  // the start of each statement
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"state row refused",
       kStateUpdate,
       {},
       false,
       PassOutcome::kFailed,
       {},
       {"!!! Ошибка в функции UpdateStateRecord() !!!"}},
      {"minute row refused",
       "INSERT into pu_data",
       {},
       false,
       PassOutcome::kFailed,
       {kStateUpdate},
       {"!!! Ошибка в функции Update_PAF_record() !!!"}},
      {"old-mode history SELECT refused",
       "",
       {{kOldModeSelect, Reply::kRefuse, {}}},
       true,
       PassOutcome::kFailed,
       {kStateUpdate},
       {}},
      {"old-mode history",
       "",
       {},
       true,
       PassOutcome::kCycleDone,
       {kStateUpdate, "INSERT into pu_data"},
       {}},
      {"task SELECT refused",
       "",
       {{kTaskSelect, Reply::kRefuse, {}}},
       false,
       PassOutcome::kCycleDone,
       {kStateUpdate, "INSERT into pu_data"},
       {}},
      {"task SELECT throws",
       "",
       {{kTaskSelect, Reply::kThrow, {}}},
       false,
       PassOutcome::kFailed,
       {kStateUpdate},
       {"!!! Ошибка в цикле приема: нет ответа !!!"}},
      {"task SELECT throws something else",
       "",
       {{kTaskSelect, Reply::kThrowNonStandard, {}}},
       false,
       PassOutcome::kFailed,
       {kStateUpdate},
       {"!!! Ошибка в цикле приема !!!"}},
  };
  const std::vector<ScriptedSelects::Rule> fixtureRules = selects_.rules;
  Loop().Launch();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sink_.throwOn = c.throwOn;
    selects_.rules = c.rules;
    selects_.rules.insert(selects_.rules.end(), fixtureRules.begin(), fixtureRules.end());
    settings_.old_update_mode = c.oldUpdateMode;
    now_ += 60.0 / kSecondsPerDay;  // each case in a minute of its own: the row is inserted
    HearAllModules();
    Forget();
    const int cycles = control_.CycleCounter.load();
    const int errors = control_.ErrorCounter.load();

    EXPECT_EQ(Loop().RunPass(), c.outcome);
    EXPECT_EQ(control_.CycleCounter.load(), cycles + 1);
    EXPECT_EQ(control_.ErrorCounter.load(), errors + (c.outcome == PassOutcome::kFailed ? 1 : 0));
    EXPECT_EQ(Queued(c.queued), c.queued);
    EXPECT_EQ(DrainEvents(), c.events);
  }
}

// A failed reopening of the work connection (the database thread's) is counted over the life
// of the process and posted; the one that passes 300 says the server is unreachable, once,
// and nothing stops acquisition.
TEST_F(ControlLoopTest, FailedReopeningsAreCountedAndAcquisitionGoesOn) {
  struct Case {
    int32_t failuresBefore;
    std::vector<std::string> events;
  };
  const std::string cannot = "Не могу подключиться к MySQL серверу.";
  const Case cases[] = {
      {0, {cannot}}, {299, {cannot}}, {300, {cannot, "MySQL сервер недоступен."}},
      {301, {}},     {5000, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failuresBefore);
    control_.DbFailCount = c.failuresBefore;
    DrainEvents();
    CountReconnectFailure(control_);
    EXPECT_EQ(control_.DbFailCount.load(), c.failuresBefore + 1);
    EXPECT_EQ(DrainEvents(), c.events);
    EXPECT_FALSE(control_.StopRequest.load());
  }
}

// Keeps what the sink could not take: the rows a spool would hold.
class RecordingKeeper : public RowKeeper {
 public:
  void KeepJournal(DateTime, int32_t, std::string_view message, std::string_view) override {
    journal.emplace_back(message);
  }
  void KeepMinute(DateTime, std::string_view key, std::string_view upsert,
                  std::string_view) override {
    minutes.emplace_back(std::string(key) + " " + std::string(upsert));
  }
  std::vector<std::string> journal;
  std::vector<std::string> minutes;
};

// A sink that keeps: while `down` it refuses what must not be lost, as the statement queue
// does while the server is away.
class KeepingSink : public RecordingSink {
 public:
  RowKeeper* Keeper() override { return &keeper; }
  bool QueueKept(std::string_view sql, std::function<void()>) override {
    return !down && QueueStatement(sql);
  }
  RecordingKeeper keeper;
  bool down = false;
};

class ControlLoopOutageTest : public ControlLoopTest {
 protected:
  KeepingSink keeping_;
  const Acquisition outage_ = AcquisitionWith(keeping_);
};

// While the server is away the cycles go on: no state row and no task SELECT, the history's
// minute kept whole once it ends, with the totals of an uninterrupted run; once the server is
// back the state row returns.
TEST_F(ControlLoopOutageTest, CyclesRunWhileTheServerIsAway) {
  signals_.Replace(
      {Input("PLS"), Input("G2", "V120"), Input("G_1T2"), WithDirection(Input("_PLSZ"), "WRITE")});
  signals_.ResetAverages(1);
  ControlLoop loop(outage_, [this] { return now_; });
  loop.Launch();
  const auto pass = [&](double seconds, double g2) {
    now_ += seconds / kSecondsPerDay;
    HearAllModules();
    signals_.RawValues.SetSlot(signals_.SignalIndex("G2"), g2);
    return loop.RunPass();
  };
  ASSERT_EQ(pass(0, 100), PassOutcome::kCycleDone);  // 05:06:10, connected
  LoseTheServer();
  work_.Want();
  keeping_.down = true;
  keeping_.statements.clear();
  selects_.asked.clear();
  EXPECT_EQ(pass(55, 130), PassOutcome::kCycleDone);  // 05:07:05
  EXPECT_EQ(pass(50, 160), PassOutcome::kCycleDone);  // 05:07:55
  EXPECT_EQ(pass(10, 170), PassOutcome::kCycleDone);  // 05:08:05: 05:07 has ended
  EXPECT_TRUE(keeping_.statements.empty()) << keeping_.statements.front();
  EXPECT_TRUE(selects_.asked.empty()) << "no SELECT waits for a server that is away";
  EXPECT_EQ(control_.CycleCounter.load(), 4);
  EXPECT_EQ(control_.ErrorCounter.load(), 0);
  ASSERT_EQ(keeping_.keeper.minutes.size(), 1u) << "05:06 was written before the loss";
  EXPECT_EQ(
      keeping_.keeper.minutes[0],
      "2026-03-04 05:07:00 INSERT into pu_data (RecMoment , `PLS`, `G2`, `G_1T2`, `_PLSZ`) "
      "VALUES( '2026-03-04 05:07:00' , 0, 160, 6, 0) ON DUPLICATE KEY UPDATE `PLS`=VALUES(`PLS`), "
      "`G2`=VALUES(`G2`), `G_1T2`=VALUES(`G_1T2`)")
      << "G2 rose from 100 to 160 in 05:07: 6.0 as an uninterrupted run writes it";

  work_.SetParams(db_.Params());
  ASSERT_TRUE(work_.Connect().ok());
  keeping_.down = false;
  EXPECT_EQ(pass(1, 171), PassOutcome::kCycleDone);
  ASSERT_FALSE(keeping_.statements.empty());
  EXPECT_TRUE(keeping_.statements.front().starts_with(kStateUpdate));
}

// Without a server the start tries eleven times and goes on: the start is journalled and the
// constants are asked for all the same, and the first pass finds the connection down. The end
// closes the connection and journals the stop on the loop's clock.
TEST_F(ControlLoopTest, StartWithoutServerGoesOnAndTheEndIsJournalled) {
  control_.ErrorCounter = 7;
  LoseTheServer();
  user_.SetParams(work_.Params());
  Loop().Prepare();
  Loop().Launch();
  const auto events = DrainEvents();
  EXPECT_EQ(events,
            std::vector<std::string>(11, "*** Поток приема не смог подключиться к серверу! ***"));
  EXPECT_EQ(control_.ErrorCounter.load(), 0);
  EXPECT_EQ(control_.ModuleLastOk[kModuleJumo1].load(), 0);
  const std::string moment = "'2026-03-04 05:06:10'";
  const std::vector<std::string> started = {
      "insert into control_log (RecMoment, NPP, MessageText, MessageKind) VALUES(" + moment,
      "insert into setup (ConstName, ConstVal, Comment) VALUES ('MIN_PLS'",
      "insert into setup (ConstName, ConstVal, Comment) VALUES ('MIN_NAGR'"};
  ASSERT_EQ(Queued(started), started);
  EXPECT_NE(sink_.statements[0].find("'>>> Запуск потока управления. <<<'"), std::string::npos);
  EXPECT_TRUE(work_.Wanted()) << "the database thread goes on trying";

  Forget();
  now_ += 30.0 / kSecondsPerDay;
  Loop().Finish();
  EXPECT_FALSE(work_.Connected());
  const std::vector<std::string> stopped = {
      "insert into control_log (RecMoment, NPP, MessageText, MessageKind) VALUES("
      "'2026-03-04 05:06:40'"};
  ASSERT_EQ(Queued(stopped), stopped);
  EXPECT_NE(sink_.statements[0].find("'<<< Поток управления остановлен. >>>'"), std::string::npos);
}

}  // namespace
}  // namespace kalvix
