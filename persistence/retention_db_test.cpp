#include <gtest/gtest.h>

#include "persistence/retention.h"
#include "persistence/sql_statement_queue.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

using RetentionDbTest = DbTest;

// With DatabaseSize 60, rows 61 days old (by the server's date) go from the history, the
// journal and the set-points; rows 60 days old stay, and so does the current state.
TEST_F(RetentionDbTest, DeletesRowsOlderThanTheRetentionPeriod) {
  for (int age : {61, 60, 0}) {
    const std::string moment =
        "CURDATE() - INTERVAL " + std::to_string(age) + " DAY + INTERVAL 1 HOUR";
    db_.Exec("insert into pu_data (RecMoment, PLS) values (" + moment + ", " + std::to_string(age) +
             ")");
    db_.Exec("insert into control_log values (" + moment + ", " + std::to_string(age) +
             ", 'm', NULL)");
    db_.Exec("insert into control_vector values (" + moment + ", 'op', " + std::to_string(age) +
             ", 0)");
  }
  db_.Exec("insert into last_state (RecMoment) values (CURDATE() - INTERVAL 400 DAY)");

  SqlStatementQueue queue;
  std::atomic<bool> closing{false};
  RetentionPolicy policy;
  policy.AutoCleanFlag = true;
  policy.DatabaseSize = 60;
  RetentionCheck retention(Now() - 2.0 / 24.0);
  TimerMySQL_workTimer(queue, work_, closing, retention, policy);
  EXPECT_EQ(TimerMySQL_workTimer(queue, work_, closing, retention, policy), 3);
  EXPECT_TRUE(DrainEvents().empty());

  EXPECT_EQ(db_.Value("select group_concat(PLS order by PLS) from pu_data"),
            DbValue{std::string("0,60")});
  EXPECT_EQ(db_.Value("select group_concat(NPP order by NPP) from control_log"),
            DbValue{std::string("0,60")});
  EXPECT_EQ(db_.Value("select group_concat(_PLSZ order by _PLSZ) from control_vector"),
            DbValue{std::string("0,60")});
  EXPECT_EQ(db_.Value("select count(*) from last_state"), DbValue{int64_t{1}});
}

TEST_F(RetentionDbTest, NothingIsDeletedWithAutoCleanOff) {
  db_.Exec("insert into pu_data (RecMoment) values (CURDATE() - INTERVAL 500 DAY)");
  SqlStatementQueue queue;
  std::atomic<bool> closing{false};
  RetentionPolicy policy;
  policy.AutoCleanFlag = false;
  RetentionCheck retention(Now() - 10.0);
  for (int i = 0; i < 3; ++i) TimerMySQL_workTimer(queue, work_, closing, retention, policy);
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_EQ(db_.Value("select count(*) from pu_data"), DbValue{int64_t{1}});
}

}  // namespace
}  // namespace kalvix
