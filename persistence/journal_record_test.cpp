#include "persistence/journal_record.h"

#include <gtest/gtest.h>

#include "persistence/sql_statement_queue.h"

namespace kalvix {
namespace {

DateTime At(int second, int millisecond) {
  return EncodeDateTime({2011, 7, 5, 14, 3, second, millisecond});
}

TEST(JournalNumbering, Cases) {
  struct Case {
    const char* name;
    DateTime first;
    DateTime second;
    int32_t firstNpp;
    int32_t secondNpp;
  };
  const Case cases[] = {
      {"same millisecond", At(27, 250), At(27, 250), 250, 251},
      {"same second, other millisecond", At(27, 250), At(27, 600), 250, 600},
      {"999 collides", At(27, 999), At(27, 999), 999, 1000},
      {"same millisecond, next 0.001-day interval", At(27, 250), At(27, 250) + 100 / kSecondsPerDay,
       250, 250},
  };
  for (const Case& c : cases) {
    JournalNumbering numbering(At(0, 0) - 1.0);  // started a day earlier
    EXPECT_EQ(numbering.Next(c.first), c.firstNpp) << c.name;
    EXPECT_EQ(numbering.Next(c.second), c.secondNpp) << c.name;
  }
}

// Right after the start the last number is 0, so a row at millisecond 0 gets 1.
TEST(JournalNumbering, StartsFromZeroAtTheStartMoment) {
  JournalNumbering numbering(At(27, 0));
  EXPECT_EQ(numbering.Next(At(28, 0)), 1);
}

TEST(JournalStatement, Text) {
  EXPECT_EQ(JournalStatement(At(27, 250), 250, "!!! Изменены калибровки !!!", kServiceSource),
            "insert into control_log (RecMoment, NPP, MessageText, MessageKind) "
            "VALUES('2011-07-05 14:03:27', 250, '!!! Изменены калибровки !!!', "
            "'СЛУЖБА ПРИЕМА')");
  EXPECT_EQ(JournalStatement(At(27, 0), 1000, "It's done", ""),
            "insert into control_log (RecMoment, NPP, MessageText, MessageKind) "
            "VALUES('2011-07-05 14:03:27', 1000, 'It\\'s done', NULL)");
}

TEST(AddJournalRecord, EmptyMessageWritesNothing) {
  JournalNumbering numbering(Now());
  SqlStatementQueue queue;
  EXPECT_FALSE(AddJournalRecord(numbering, queue, "", kServiceSource));
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_TRUE(AddJournalRecord(numbering, queue, "x", ""));
  EXPECT_EQ(queue.Count(), 1u);
}

// A full statement queue loses the row, as any statement, but the call still succeeds.
TEST(AddJournalRecord, FullQueueStillGivesTrue) {
  JournalNumbering numbering(Now());
  SqlStatementQueue queue;
  for (size_t i = 0; i <= SqlStatementQueue::kMaxWaiting; ++i)
    ASSERT_TRUE(queue.QueueStatement("x"));
  EXPECT_TRUE(AddJournalRecord(numbering, queue, "lost", kServiceSource));
  EXPECT_EQ(queue.Count(), SqlStatementQueue::kMaxWaiting + 1);
}

}  // namespace
}  // namespace kalvix
