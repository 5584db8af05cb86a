#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "persistence/database_thread.h"
#include "persistence/minute_history.h"
#include "persistence/spool_keeper.h"
#include "testing/history_test_support.h"
#include "testing/scratch_folder.h"
#include "testing/wait_for.h"

namespace kalvix {
namespace {

using namespace std::chrono_literals;
using testing::RecordTest;
using testing::Signal;

DateTime At(int hour, int minute, int second) {
  return EncodeDateTime({2011, 7, 5, hour, minute, second, 0});
}

class MinuteHistoryTest : public RecordTest {
 protected:
  void SetUp() override {
    RecordTest::SetUp();
    if (HasFatalFailure()) return;
    UseSignals({Signal("A", "READ"), Signal("_PLSZ", "WRITE"), Signal("G2", "READ"),
                Signal("G23", "READ"), Signal("G41", "READ"), Signal("G_1T2", ""),
                Signal("G_1T23", ""), Signal("G_1T41", "")});
  }

  // One cycle at `now` with fresh readings from both counting modules.
  void Cycle(DateTime now, double g2, bool v120Fresh = true) {
    if (v120Fresh) control_.ModuleLastOk[kModuleV120] = now;
    control_.ModuleLastOk[kModuleBk003] = now;
    set_.AveragedValues.SetSlot(Slot("G2"), g2);
    ASSERT_TRUE(history_->Update_PAF_record(set_, control_, options_, selects_, statements_, now));
  }
  double Total(const char* name) const { return set_.AveragedValues.Slot(Slot(name)); }

  ControlState control_;
  HistoryOptions options_;
  std::unique_ptr<MinuteHistory> history_ = std::make_unique<MinuteHistory>();
};

TEST_F(MinuteHistoryTest, StatementShapes) {
  set_.AveragedValues.SetSlot(Slot("A"), 1.5);
  set_.AveragedValues.SetSlot(Slot("_PLSZ"), 40);
  const std::string key = MinuteKey(At(14, 3, 27));
  EXPECT_EQ(key, "2011-07-05 14:03:00");
  EXPECT_EQ(HistoryInsertStatement(set_, key).substr(0, 56),
            "INSERT into pu_data (RecMoment , `A`, `_PLSZ`, `G2`, `G2");
  EXPECT_NE(HistoryInsertStatement(set_, key).find(") VALUES( '2011-07-05 14:03:00' , 1.5, 40, "),
            std::string::npos);
  const std::string update = HistoryUpdateStatement(set_, key);
  EXPECT_EQ(update.substr(0, 26), "UPDATE pu_data SET `A`=1.5");
  EXPECT_EQ(update.find("_PLSZ"), std::string::npos) << "set-points only at the insert";
  EXPECT_NE(update.find("  where RecMoment='2011-07-05 14:03:00'"), std::string::npos);
}

TEST_F(MinuteHistoryTest, TotalsOfTheMinute) {
  struct Case {
    const char* name;
    double maxDg;
    std::vector<double> readings;  // within one minute, after a first one at 1000
    double total;
  };
  const Case cases[] = {
      {"rise counted", -1, {1005, 1012}, 1.2},
      {"jump beyond max_dg discarded", 50, {1080}, 0},
      {"counting goes on after a discarded jump", 50, {1080, 1090}, 1.0},
      {"reset counter", -1, {3}, 0},
  };
  for (const Case& c : cases) {
    history_ = std::make_unique<MinuteHistory>();
    options_.max_dg = c.maxDg;
    Cycle(At(14, 2, 50), 1000);
    Cycle(At(14, 3, 0), 1000);  // new minute: counting starts at 1000
    int second = 1;
    for (double r : c.readings) Cycle(At(14, 3, second++), r);
    EXPECT_NEAR(Total("G_1T2"), c.total, 1e-9) << c.name;
  }
}

// Without a stored minute the first reading is where counting starts: the whole counter is
// not one minute's tonnage.
TEST_F(MinuteHistoryTest, EmptyHistoryCountsFromTheFirstReading) {
  Cycle(At(14, 3, 0), 125000);
  EXPECT_EQ(Total("G_1T2"), 0);
  EXPECT_EQ(Total("G_1T23"), 0) << "a counter that reads 0 is known too";
  Cycle(At(14, 3, 30), 125010);
  EXPECT_NEAR(Total("G_1T2"), 1.0, 1e-9);
}

TEST_F(MinuteHistoryTest, StaleCounterKeepsItsLastFreshValue) {
  Cycle(At(14, 2, 59), 1000);
  Cycle(At(14, 3, 0), 1000);
  Cycle(At(14, 3, 1), 1010);
  Cycle(At(14, 3, 2), 1500, /*v120Fresh=*/false);
  EXPECT_NEAR(Total("G_1T2"), 1.0, 1e-9);
  EXPECT_EQ(history_->CurrentCounters().last[0], 1010);
}

TEST_F(MinuteHistoryTest, OneRowPerMinuteOnTheServer) {
  set_.AveragedValues.SetSlot(Slot("_PLSZ"), 1.45);
  set_.AveragedValues.SetSlot(Slot("A"), 1);
  Cycle(At(14, 3, 10), 1000);
  set_.AveragedValues.SetSlot(Slot("_PLSZ"), 1.50);  // changed after the insert
  set_.AveragedValues.SetSlot(Slot("A"), 2);
  Cycle(At(14, 3, 50), 1004);
  Cycle(At(14, 4, 0), 1006);
  EXPECT_EQ(statements_.Count(), 3u);
  ASSERT_NO_FATAL_FAILURE(RunStatements());
  EXPECT_TRUE(DrainEvents().empty());
  const DbResult rows = db_.Rows("select RecMoment, A, _PLSZ, G2 from pu_data order by RecMoment");
  ASSERT_EQ(rows.rows.size(), 2u);
  EXPECT_EQ(DbToText(rows.rows[0][0]), "2011-07-05 14:03:00");
  EXPECT_EQ(DbNumberOr(rows.rows[0][1], 0), 2);
  EXPECT_EQ(DbNumberOr(rows.rows[0][2], 0), 1.45) << "written by the insert alone";
  EXPECT_EQ(DbNumberOr(rows.rows[0][3], 0), 1004);
  EXPECT_EQ(DbToText(rows.rows[1][0]), "2011-07-05 14:04:00");
}

TEST_F(MinuteHistoryTest, OldModeReadsThePreviousMinuteBack) {
  db_.Exec(
      "insert into pu_data (RecMoment, G2, G23, G41) values ('2011-07-05 14:02:00', 1000, 5, 7)");
  options_.old_update_mode = true;
  SelectServerThread window(selects_, work_);
  Cycle(At(14, 3, 5), 1012);
  EXPECT_NEAR(Total("G_1T2"), 1.2, 1e-9);
  Cycle(At(14, 3, 6), 3);  // reset: counted from 0
  EXPECT_NEAR(Total("G_1T2"), 0.3, 1e-9);
  // No earlier row: no rise can be known.
  db_.Exec("delete from pu_data");
  Cycle(At(14, 3, 7), 500);
  EXPECT_EQ(Total("G_1T2"), 0);
  EXPECT_EQ(statements_.Count(), 3u) << "one insert, two updates";
}

TEST_F(MinuteHistoryTest, OldModeFailedSelectWritesNothing) {
  options_.old_update_mode = true;
  db_.Exec("drop table pu_data");
  SelectServerThread window(selects_, work_);
  EXPECT_FALSE(
      history_->Update_PAF_record(set_, control_, options_, selects_, statements_, At(14, 3, 0)));
  EXPECT_EQ(statements_.Count(), 0u);
}

TEST_F(MinuteHistoryTest, AfterConnectPrimesFromTheMinuteBeforeTheCurrentOne) {
  ASSERT_TRUE(work_.Connect().ok());
  EXPECT_TRUE(history_->SQLConnectionUserAfterConnect(work_, At(14, 3, 20)).ok());
  EXPECT_EQ(history_->CurrentCounters().start, (std::array<double, 3>{0, 0, 0}));

  db_.Exec(
      "insert into pu_data (RecMoment, G2, G23, G41) values ('2011-07-05 14:01:00', 1, 2, 3), "
      "('2011-07-05 14:02:00', 10, 20, NULL), ('2011-07-05 14:03:00', 100, 200, 300)");
  ASSERT_TRUE(history_->SQLConnectionUserAfterConnect(work_, At(14, 3, 20)).ok());
  const MinuteHistory::Counters c = history_->CurrentCounters();
  EXPECT_EQ(c.previousMinuteKey, "2011-07-05 14:02:00");
  EXPECT_EQ(c.start, (std::array<double, 3>{10, 20, 0}));
  EXPECT_EQ(c.known, (std::array<bool, 3>{true, true, false})) << "G41 was NULL";
  EXPECT_EQ(c.last, c.start);
  EXPECT_EQ(c.lastRefresh, At(14, 2, 0));

  // The first minute after the restart counts from the primed values.
  Cycle(At(14, 4, 0), 15);
  EXPECT_NEAR(Total("G_1T2"), 0.5, 1e-9);
}

// A shorter "minute" keys its rows on its own seconds; the priming must find those rows.
TEST_F(MinuteHistoryTest, AfterConnectPrimesFromShortMinutes) {
  history_ = std::make_unique<MinuteHistory>(10);
  db_.Exec(
      "insert into pu_data (RecMoment, G2, G23, G41) values ('2011-07-05 14:03:00', 1, 2, 3), "
      "('2011-07-05 14:03:10', 10, 20, 30), ('2011-07-05 14:03:20', 100, 200, 300)");
  ASSERT_TRUE(work_.Connect().ok());
  struct Case {
    DateTime now;
    const char* previous;
    double g2;
  } cases[] = {
      {At(14, 3, 25), "2011-07-05 14:03:10", 10},  // the newest row is the current minute's
      {At(14, 3, 31), "2011-07-05 14:03:20", 100},
  };
  for (const Case& c : cases) {
    history_ = std::make_unique<MinuteHistory>(10);
    ASSERT_TRUE(history_->SQLConnectionUserAfterConnect(work_, c.now).ok());
    const MinuteHistory::Counters counters = history_->CurrentCounters();
    EXPECT_EQ(counters.previousMinuteKey, c.previous);
    EXPECT_EQ(counters.start[0], c.g2) << c.previous;
    EXPECT_TRUE(counters.known[0]) << c.previous;
  }
}

TEST_F(MinuteHistoryTest, AfterConnectReportsAHistoryWithoutCounters) {
  db_.Exec("alter table pu_data drop column G2");
  db_.Exec("insert into pu_data (RecMoment) values ('2011-07-05 14:02:00')");
  ASSERT_TRUE(work_.Connect().ok());
  EXPECT_FALSE(history_->SQLConnectionUserAfterConnect(work_, At(14, 3, 20)).ok());
}

// Counters read before an outage run on through it: the priming when the server returns
// leaves them, so the first minute after the return carries its own rise alone, not the
// outage's minutes (their rows were kept with their own totals). A counter never read yet is
// primed from the stored rows.
TEST_F(MinuteHistoryTest, CountersReadBeforeAnOutageAreNotPrimedAgain) {
  struct Case {
    const char* name;
    bool bk003Read;  // the BK-003 (G23) has answered before the return
    double g23Total;
  };
  const Case cases[] = {
      {"every counter read", true, 0.5},
      {"G23 never read", false, 0.6},
  };
  db_.Exec(
      "insert into pu_data (RecMoment, G2, G23, G41) values ('2011-07-05 14:01:00', 990, 20, 30)");
  ASSERT_TRUE(work_.Connect().ok());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    history_ = std::make_unique<MinuteHistory>();
    const auto cycle = [&](DateTime now, double g2, bool bk003) {
      control_.ModuleLastOk[kModuleV120] = now;
      control_.ModuleLastOk[kModuleBk003] = bk003 ? now : 0;
      set_.AveragedValues.SetSlot(Slot("G2"), g2);
      set_.AveragedValues.SetSlot(Slot("G23"), bk003 ? 21 : 0);
      ASSERT_TRUE(
          history_->Update_PAF_record(set_, control_, options_, selects_, statements_, now));
    };
    // Started while the server was away; it stays away until 14:06:20.
    for (int minute = 2; minute <= 6; ++minute) {
      cycle(At(14, minute, 10), 990 + 10 * minute, c.bk003Read);
    }
    const MinuteHistory::Counters before = history_->CurrentCounters();
    ASSERT_TRUE(history_->SQLConnectionUserAfterConnect(work_, At(14, 6, 20)).ok());
    const MinuteHistory::Counters after = history_->CurrentCounters();
    EXPECT_EQ(after.start[0], before.start[0]);
    EXPECT_EQ(after.last[0], before.last[0]);
    EXPECT_EQ(after.lastRefresh, before.lastRefresh);
    EXPECT_EQ(after.start[1], c.bk003Read ? 21 : 20);

    control_.ModuleLastOk[kModuleV120] = At(14, 6, 40);
    control_.ModuleLastOk[kModuleBk003] = At(14, 6, 40);
    set_.AveragedValues.SetSlot(Slot("G2"), 1053);
    set_.AveragedValues.SetSlot(Slot("G23"), 26);
    ASSERT_TRUE(history_->Update_PAF_record(set_, control_, options_, selects_, statements_,
                                            At(14, 6, 40)));
    EXPECT_NEAR(Total("G_1T2"), 1.3, 1e-9) << "from 1040, the last reading of 14:05, to 1053";
    EXPECT_NEAR(Total("G_1T23"), c.g23Total, 1e-9);
    Cycle(At(14, 7, 0), 1055);
    EXPECT_NEAR(Total("G_1T2"), 0.2, 1e-9);
  }
}

// The history with the spool behind its statement queue, as the service runs it.
class MinuteHistoryKeepingTest : public MinuteHistoryTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MinuteHistoryTest::SetUp());
    ASSERT_FALSE(folder_.Path().empty());
    ASSERT_TRUE(keeper_.Open(folder_.File("spool.db")).ok());
    statements_.SetKeeping(&keeper_, [this] { return work_.Down(); });
    DrainEvents();
  }
  // The server is away: the connection is wanted and has no session.
  void LoseTheServer() {
    work_.Disconnect();
    work_.Want();
  }

  ScratchFolder folder_;
  SpoolKeeper keeper_;
};

// The queue full while the server is there: the minute whose statements it refused reaches
// pu_data through the spool once the database thread has worked the queue off, with its last
// cycle's values and the totals of an uninterrupted run; the next minute, whose insert was
// refused, is written whole by its next cycle.
TEST_F(MinuteHistoryKeepingTest, MinutesRefusedByAFullQueueReachTheServer) {
  set_.AveragedValues.SetSlot(Slot("_PLSZ"), 1.45);
  set_.AveragedValues.SetSlot(Slot("A"), 1);
  Cycle(At(14, 2, 50), 1000);
  while (statements_.Count() <= SqlStatementQueue::kMaxWaiting) {
    ASSERT_TRUE(statements_.QueueStatement("do 0"));
  }
  set_.AveragedValues.SetSlot(Slot("_PLSZ"), 1.5);
  set_.AveragedValues.SetSlot(Slot("A"), 2);
  Cycle(At(14, 3, 10), 1004);  // a new minute: its insert is refused
  set_.AveragedValues.SetSlot(Slot("_PLSZ"), 1.55);
  set_.AveragedValues.SetSlot(Slot("A"), 3);
  Cycle(At(14, 3, 50), 1012);  // and its update
  Cycle(At(14, 4, 5), 1020);   // 14:03 has ended; the insert of 14:04 is refused too
  EXPECT_EQ(statements_.Count(), SqlStatementQueue::kMaxWaiting + 1);
  EXPECT_EQ(keeper_.Waiting().rows, 1);

  std::atomic<bool> closing{false};
  RetentionCheck retention(Now());
  DatabaseThread thread({statements_, selects_, work_, closing, retention,
                         [] { return RetentionPolicy{}; }, nullptr, &keeper_},
                        10ms);
  thread.Start();
  const auto written = [&](size_t minutes) {
    return WaitFor(
        [&] {
          return statements_.Count() == 0 && keeper_.Waiting().rows == 0 &&
                 DbNumberOr(db_.Value("select count(*) from pu_data"), 0) == minutes;
        },
        10s, 5ms);
  };
  ASSERT_TRUE(written(2));
  Cycle(At(14, 4, 30), 1030);
  ASSERT_TRUE(written(3));
  Cycle(At(14, 5, 0), 1035);
  ASSERT_TRUE(written(4));
  EXPECT_EQ(keeper_.Waiting().rows, 0);
  thread.Stop();

  const DbResult rows =
      db_.Rows("select RecMoment, A, _PLSZ, G2, G_1T2 from pu_data order by RecMoment");
  std::vector<std::string> texts;
  for (const auto& row : rows.rows) {
    std::string text;
    for (const DbValue& value : row) text += (text.empty() ? "" : "|") + DbToText(value);
    texts.push_back(text);
  }
  const std::vector<std::string> expected = {
      "2011-07-05 14:02:00|1|1.45|1000|0",
      "2011-07-05 14:03:00|3|1.5|1012|1.2",  // the set-point of the minute's first cycle
      "2011-07-05 14:04:00|3|1.55|1030|1.8",
      "2011-07-05 14:05:00|3|1.55|1035|0.5",
  };
  EXPECT_EQ(texts, expected);
  EXPECT_TRUE(DrainEvents().empty());
}

// The server back within a minute whose insert it missed: the minute's next cycle writes the
// row whole, rather than an update that would find no row until the minute's end; once
// written, the minute is not kept.
TEST_F(MinuteHistoryKeepingTest, RunningMinuteIsWrittenWholeWhenTheServerIsBack) {
  set_.AveragedValues.SetSlot(Slot("_PLSZ"), 1.45);
  Cycle(At(14, 3, 10), 1000);
  ASSERT_NO_FATAL_FAILURE(RunStatements());
  LoseTheServer();
  options_.serverUp = false;
  Cycle(At(14, 4, 10), 1010);  // its insert is refused
  set_.AveragedValues.SetSlot(Slot("_PLSZ"), 1.5);
  Cycle(At(14, 4, 20), 1012);
  ASSERT_TRUE(work_.Connect().ok());
  options_.serverUp = true;
  Cycle(At(14, 4, 30), 1015);
  ASSERT_NO_FATAL_FAILURE(RunStatements());
  const char* const row =
      "select G2, G_1T2, _PLSZ from pu_data where RecMoment='2011-07-05 14:04:00'";
  ASSERT_EQ(db_.Rows(row).rows.size(), 1u) << "written before the minute ends";
  EXPECT_EQ(db_.Rows(row).rows[0],
            (std::vector<DbValue>{DbValue{1015.0}, DbValue{1.5}, DbValue{1.45}}))
      << "the set-point of the minute's first cycle";
  Cycle(At(14, 4, 40), 1016);  // an update again
  ASSERT_NO_FATAL_FAILURE(RunStatements());
  Cycle(At(14, 5, 0), 1020);
  EXPECT_EQ(DbNumberOr(db_.Value(row), 0), 1016);
  EXPECT_EQ(keeper_.Waiting().rows, 0) << "a minute written whole is not kept";
  EXPECT_TRUE(DrainEvents().empty());
}

// At a new start the counters begin where the previous run left them: at the newest minute
// before the current one, kept or stored, whichever is later.
TEST_F(MinuteHistoryKeepingTest, NewStartPrimesFromTheNewestKeptMinute) {
  // The previous run: 14:02 written, then the server away until its end at 14:05:30.
  Cycle(At(14, 2, 50), 1000);
  ASSERT_NO_FATAL_FAILURE(RunStatements());
  LoseTheServer();
  Cycle(At(14, 3, 30), 1010);
  Cycle(At(14, 4, 30), 1020);
  Cycle(At(14, 5, 30), 1030);
  history_->KeepUnwrittenMinute(&keeper_);
  ASSERT_EQ(keeper_.Waiting().rows, 3);
  statements_.GiveUpKept();
  ASSERT_TRUE(work_.Connect().ok());

  struct Case {
    const char* name;
    std::string stored;  // a row written meanwhile
    DateTime start;      // the new run's start
    std::string previousMinute;
    double g2Start;
    double g2Reading;  // 20 s after the start
    double total;
  };
  const Case cases[] = {
      {"a kept minute later than the stored ones", "", At(14, 6, 20), "2011-07-05 14:05:00", 1030,
       1034, 0.4},
      {"a restart within the newest kept minute", "", At(14, 5, 40), "2011-07-05 14:04:00", 1020,
       1034, 1.4},
      {"a stored minute later than the kept ones",
       "insert into pu_data (RecMoment, G2, G23, G41) values ('2011-07-05 14:07:00', 1050, 0, 0)",
       At(14, 8, 20), "2011-07-05 14:07:00", 1050, 1052, 0.2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.stored.empty()) db_.Exec(c.stored);
    history_ = std::make_unique<MinuteHistory>();
    const std::optional<KeptMinute> kept = keeper_.NewestMinute(MinuteKey(c.start));
    ASSERT_TRUE(kept.has_value());
    ASSERT_TRUE(history_->SQLConnectionUserAfterConnect(work_, c.start, &*kept).ok());
    EXPECT_EQ(history_->CurrentCounters().previousMinuteKey, c.previousMinute);
    EXPECT_EQ(history_->CurrentCounters().start[0], c.g2Start);
    Cycle(c.start + 20.0 / kSecondsPerDay, c.g2Reading);
    EXPECT_NEAR(Total("G_1T2"), c.total, 1e-9);
    db_.Exec("delete from pu_data where RecMoment > '2011-07-05 14:02:00'");
  }
}

}  // namespace
}  // namespace kalvix
