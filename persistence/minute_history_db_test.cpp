#include "persistence/minute_history.h"

#include <gtest/gtest.h>

#include <memory>

#include "testing/history_test_support.h"

namespace kalvix {
namespace {

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
  db_.Exec("insert into pu_data (RecMoment, G2, G23, G41) values ('2011-07-05 14:02:00', 1000, 5, 7)");
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
  EXPECT_FALSE(history_->Update_PAF_record(set_, control_, options_, selects_, statements_,
                                          At(14, 3, 0)));
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

}  // namespace
}  // namespace kalvix
