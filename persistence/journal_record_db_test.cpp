#include <gtest/gtest.h>

#include "persistence/journal_record.h"
#include "persistence/retention.h"
#include "persistence/sql_statement_queue.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

using JournalRecordDbTest = DbTest;

TEST_F(JournalRecordDbTest, RowsAreStoredAsGiven) {
  JournalNumbering numbering(Now());
  SqlStatementQueue queue;
  const DateTime moment = EncodeDateTime({2011, 7, 5, 14, 3, 27, 250});
  EXPECT_TRUE(
      AddJournalRecordAt(numbering, queue, moment, "Don't \"stop\" \\ here", kServiceSource));
  EXPECT_TRUE(
      AddJournalRecordAt(numbering, queue, moment, ">>> Запуск потока управления. <<<", ""));

  std::atomic<bool> closing{false};
  RetentionCheck retention(Now());
  RetentionPolicy policy;
  EXPECT_EQ(TimerMySQL_workTimer(queue, work_, closing, retention, policy), 2);
  EXPECT_TRUE(DrainEvents().empty());

  const DbResult rows =
      db_.Rows("select RecMoment, NPP, MessageText, MessageKind from control_log order by NPP");
  ASSERT_EQ(rows.rows.size(), 2u);
  const std::vector<DbValue> first = {
      DbValue{DbDateTime{EncodeDateTime({2011, 7, 5, 14, 3, 27, 0})}}, DbValue{int64_t{250}},
      DbValue{std::string("Don't \"stop\" \\ here")}, DbValue{std::string("СЛУЖБА ПРИЕМА")}};
  const std::vector<DbValue> second = {first[0], DbValue{int64_t{251}},
                                       DbValue{std::string(">>> Запуск потока управления. <<<")},
                                       DbValue{}};
  EXPECT_EQ(rows.rows[0], first);
  EXPECT_EQ(rows.rows[1], second);
}

}  // namespace
}  // namespace kalvix
