#include "persistence/state_record.h"

#include <gtest/gtest.h>

#include <cmath>

#include "testing/history_test_support.h"

namespace kalvix {
namespace {

using testing::RecordTest;
using testing::Signal;

class StateRecordTest : public RecordTest {};

TEST_F(StateRecordTest, StatementLeavesOutWrittenSignalsAndQuotesNames) {
  set_.Replace({Signal("A", "READ"), Signal("B", "WRITE"), Signal("C", ""), Signal("", "READ")});
  set_.InstantValues.SetSlot(0, 1.5);
  set_.InstantValues.SetSlot(1, 2);
  set_.InstantValues.SetSlot(2, 0.25);
  EXPECT_EQ(StateRecordStatement(set_), "UPDATE last_state SET RecMoment=Now(), `A`=1.5, `C`=0.25");
}

TEST_F(StateRecordTest, EmptyTableGetsItsRowOnceThenUpdates) {
  UseSignals({Signal("PLS", "READ"), Signal("_PLSZ", "WRITE"), Signal("RAB", ""),
              Signal("select", "READ"), Signal("it's", "READ")});
  set_.InstantValues.SetSlot(Slot("PLS"), 1.55);
  set_.InstantValues.SetSlot(Slot("RAB"), 1);
  set_.InstantValues.SetSlot(Slot("select"), -3);
  set_.InstantValues.SetSlot(Slot("it's"), std::nan(""));
  StateRecord record;
  {
    SelectServerThread window(selects_, work_);
    ASSERT_TRUE(record.UpdateStateRecord(set_, selects_, statements_));
  }
  EXPECT_EQ(statements_.Count(), 2u) << "insert, then update";
  ASSERT_NO_FATAL_FAILURE(RunStatements());
  set_.InstantValues.SetSlot(Slot("PLS"), 1.60);
  ASSERT_TRUE(record.UpdateStateRecord(set_, selects_, statements_));
  EXPECT_EQ(statements_.Count(), 1u) << "the row is checked once per run";
  ASSERT_NO_FATAL_FAILURE(RunStatements());

  const DbResult rows = db_.Rows("select PLS, RAB, `select`, `it's`, RecMoment from last_state");
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(DbNumberOr(rows.rows[0][0], 0), 1.60);
  EXPECT_EQ(DbNumberOr(rows.rows[0][1], 0), 1);
  EXPECT_EQ(DbNumberOr(rows.rows[0][2], 0), -3);
  EXPECT_TRUE(DbIsNull(rows.rows[0][3])) << "no value is stored as NULL";
  EXPECT_FALSE(DbIsNull(rows.rows[0][4]));
  EXPECT_TRUE(DrainEvents().empty());
}

TEST_F(StateRecordTest, ExistingRowIsNeverInsertedAgain) {
  UseSignals({Signal("PLS", "READ")});
  db_.Exec("insert into last_state (RecMoment) values (now())");
  StateRecord record;
  {
    SelectServerThread window(selects_, work_);
    ASSERT_TRUE(record.UpdateStateRecord(set_, selects_, statements_));
  }
  EXPECT_EQ(statements_.Count(), 1u);
  ASSERT_NO_FATAL_FAILURE(RunStatements());
  EXPECT_EQ(DbNumberOr(db_.Value("select count(*) from last_state"), 0), 1);
}

// The stamp the metrics read moves when the queue takes the row, and not when it refuses it.
TEST_F(StateRecordTest, QueuedStampMovesOnlyWhenTheQueueTakesTheRow) {
  UseSignals({Signal("PLS", "READ")});
  db_.Exec("insert into last_state (RecMoment) values (now())");
  StateRecord record;
  EXPECT_EQ(record.LastQueuedNs(), 0);
  {
    SelectServerThread window(selects_, work_);
    ASSERT_TRUE(record.UpdateStateRecord(set_, selects_, statements_));
  }
  const int64_t first = record.LastQueuedNs();
  EXPECT_GT(first, 0);
  while (statements_.QueueStatement("do 0")) {
  }
  ASSERT_TRUE(record.UpdateStateRecord(set_, selects_, statements_));
  EXPECT_EQ(record.LastQueuedNs(), first) << "the full queue refused the row";
  ASSERT_NO_FATAL_FAILURE(RunStatements());
  ASSERT_TRUE(record.UpdateStateRecord(set_, selects_, statements_));
  EXPECT_GT(record.LastQueuedNs(), first);
}

}  // namespace
}  // namespace kalvix
