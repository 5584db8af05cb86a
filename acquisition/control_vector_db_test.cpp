#include "acquisition/control_vector.h"

#include <gtest/gtest.h>

#include "acquisition/control_thread.h"
#include "persistence/sql_statement_queue.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

class ControlVectorTest : public DbTest {
 protected:
  bool Poll() {
    SelectServerThread window(selects_, work_);
    return PollControlVector(setpoints_, signals_, 5, selects_, journal_, statements_);
  }
  Setpoints setpoints_;
  SignalSet signals_;
  JournalNumbering journal_{Now()};
  SqlSelectQueue selects_;
  SqlStatementQueue statements_;
};

TEST_F(ControlVectorTest, NewTaskIsAppliedOnceAndJournaledUnderItsUser) {
  ASSERT_TRUE(work_.Connect().ok());
  TSignalSet plsz;
  plsz.SignalName = "_PLSZ";
  signals_.Replace({TSignalSet{}, plsz});
  setpoints_.LastTaskTime = EncodeDateTime({2020, 1, 1, 0, 0, 0, 0});
  EXPECT_TRUE(Poll()) << "an empty table has nothing new";
  EXPECT_EQ(statements_.Count(), 0u);

  db_.Exec("insert into control_vector values ('2026-01-02 03:04:05', 'op@host', 1.45, 320.5)");
  ASSERT_TRUE(Poll());
  EXPECT_EQ(setpoints_.PlszSetpoint.load(), 1.45);
  EXPECT_EQ(setpoints_.TnzSetpoint.load(), 320.5);
  EXPECT_TRUE(setpoints_.JumoWritePending.load());
  EXPECT_EQ(setpoints_.JumoWriteCountdown.load(), 5);
  EXPECT_EQ(signals_.OutputValues.Slot(1), 1.45) << "ready before the poller's next write";
  EXPECT_TRUE(setpoints_.TnzWritePending.load());
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", setpoints_.LastTaskTime.load()),
            "2026-01-02 03:04:05");
  ASSERT_EQ(statements_.Count(), 1u);
  statements_.Serve(work_, 1);
  const DbResult rows = db_.Rows("select MessageText, MessageKind from control_log");
  ASSERT_EQ(rows.rows.size(), 1u);
  const std::string text = DbToText(rows.rows[0][0]);
  EXPECT_EQ(text.rfind("Новое задание: Плотность=1", 0), 0u) << text;
  EXPECT_NE(text.find(" Нагрузка=320"), std::string::npos) << text;
  EXPECT_EQ(DbToText(rows.rows[0][1]), "op@host");

  setpoints_.JumoWritePending = false;
  EXPECT_TRUE(Poll());
  EXPECT_FALSE(setpoints_.JumoWritePending.load()) << "the same task is not applied twice";
  EXPECT_EQ(statements_.Count(), 0u);
}

TEST_F(ControlVectorTest, NullValuesLeaveTheirSetpointAlone) {
  ASSERT_TRUE(work_.Connect().ok());
  setpoints_.LastTaskTime = 0;
  setpoints_.PlszSetpoint = 1.3;
  db_.Exec("insert into control_vector values ('2026-01-02 03:04:05', NULL, NULL, 100)");
  ASSERT_TRUE(Poll());
  EXPECT_EQ(setpoints_.PlszSetpoint.load(), 1.3);
  EXPECT_FALSE(setpoints_.JumoWritePending.load());
  EXPECT_EQ(setpoints_.TnzSetpoint.load(), 100);
  statements_.Serve(work_, 1);
  EXPECT_TRUE(DbIsNull(db_.Value("select MessageKind from control_log")));
}

TEST_F(ControlVectorTest, FailedSelectChangesNothing) {
  ASSERT_TRUE(work_.Connect().ok());
  db_.Exec("drop table control_vector");
  setpoints_.LastTaskTime = 0;
  EXPECT_FALSE(Poll());
  EXPECT_EQ(setpoints_.LastTaskTime.load(), 0);
}

TEST(CheckFreshness, NeedsSignalsAndThreeFreshModules) {
  SignalSet set;
  ControlState control;
  const DateTime now = EncodeDateTime({2026, 1, 1, 12, 0, 10, 0});
  const DateTime fresh = now - 4.0 / kSecondsPerDay;
  const DateTime stale = now - 6.0 / kSecondsPerDay;
  for (Module m : {kModuleJumo1, kModuleJumo2, kModuleV120}) control.ModuleLastOk[m] = fresh;
  EXPECT_FALSE(CheckFreshness(set, control, now)) << "no signals";
  set.Replace(std::vector<TSignalSet>(90));
  EXPECT_TRUE(CheckFreshness(set, control, now)) << "BK-003 takes no part";
  set.Replace(std::vector<TSignalSet>(91));
  EXPECT_FALSE(CheckFreshness(set, control, now));
  set.Replace(std::vector<TSignalSet>(3));
  for (Module m : {kModuleJumo1, kModuleJumo2, kModuleV120}) {
    control.ModuleLastOk[m] = stale;
    EXPECT_FALSE(CheckFreshness(set, control, now)) << m;
    control.ModuleLastOk[m] = fresh;
  }
}

}  // namespace
}  // namespace kalvix
