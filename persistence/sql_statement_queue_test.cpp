#include "persistence/sql_statement_queue.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "persistence/retention.h"
#include "persistence/sql_literal.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

class SqlStatementQueueTest : public DbTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DbTest::SetUp());
    db_.Exec("create table seq (id int auto_increment primary key, v int not null)");
  }

  static std::string Insert(int v) {
    return "insert into seq (v) values (" + std::to_string(v) + ")";
  }

  int Tick() { return TimerMySQL_workTimer(queue_, work_, closing_, retention_, policy_); }

  // The values stored, in the order they were inserted.
  std::vector<int64_t> Stored() {
    std::vector<int64_t> values;
    for (const auto& row : db_.Rows("select v from seq order by id").rows) {
      values.push_back(std::get<int64_t>(row[0]));
    }
    return values;
  }

  static std::vector<int64_t> Range(int n) {
    std::vector<int64_t> values;
    for (int i = 0; i < n; ++i) values.push_back(i);
    return values;
  }

  SqlStatementQueue queue_;
  std::atomic<bool> closing_{false};
  RetentionCheck retention_{Now()};
  RetentionPolicy policy_;
};

TEST_F(SqlStatementQueueTest, RunsInOrderAtMostTwelvePerTick) {
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(queue_.QueueStatement(Insert(i)));
  EXPECT_EQ(Tick(), 12);
  EXPECT_EQ(Stored().size(), 12u);
  EXPECT_EQ(Tick(), 12);
  EXPECT_EQ(Tick(), 6);
  EXPECT_EQ(Tick(), 0);
  EXPECT_EQ(Stored(), Range(30));
  EXPECT_TRUE(DrainEvents().empty());
}

TEST_F(SqlStatementQueueTest, BacklogWhileDisconnectedRunsAfterReconnection) {
  work_.Disconnect();
  for (int i = 0; i < 101; ++i) ASSERT_TRUE(queue_.QueueStatement(Insert(i))) << i;
  EXPECT_FALSE(queue_.QueueStatement(Insert(101)));  // the 102nd is refused
  EXPECT_EQ(Tick(), 0);                              // nothing runs while down
  EXPECT_EQ(queue_.Count(), 101u);

  ASSERT_TRUE(work_.Connect().ok());
  int ticks = 0;
  while (queue_.Count() > 0 && ticks < 20) {
    EXPECT_LE(Tick(), kStatementsPerTick);
    ++ticks;
  }
  EXPECT_EQ(ticks, 9);  // 8 x 12 + 5
  EXPECT_EQ(Stored(), Range(101));
}

TEST_F(SqlStatementQueueTest, RejectedStatementIsReportedOnceAndDropped) {
  const std::string bad = "insert into no_such_table (v) values ('it''s')";
  queue_.QueueStatement(Insert(0));
  queue_.QueueStatement(Insert(1));
  queue_.QueueStatement(bad);
  queue_.QueueStatement(Insert(2));
  EXPECT_EQ(Tick(), 4);
  EXPECT_EQ(Tick(), 0);
  EXPECT_EQ(Stored(), Range(3));
  const std::vector<std::string> events = DrainEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "*** SQL error: " + SqlText(bad));
  EXPECT_EQ(events[1].rfind("    MySQL: 1146 ", 0), 0u) << events[1];
}

TEST_F(SqlStatementQueueTest, LostConnectionKeepsTheStatementForTheReconnection) {
  for (int i = 0; i < 3; ++i) queue_.QueueStatement(Insert(i));
  db_.Exec("kill connection " + std::to_string(work_.SessionId()));
  EXPECT_EQ(Tick(), 0);
  EXPECT_FALSE(work_.Connected());
  EXPECT_EQ(queue_.Count(), 3u);
  const std::vector<std::string> events = DrainEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("*** Соединение с MySQL сервером потеряно: ", 0), 0u) << events[0];

  ASSERT_TRUE(work_.Connect().ok());
  EXPECT_EQ(Tick(), 3);
  EXPECT_EQ(Stored(), Range(3));
}

// A statement that breaks the connection every time it runs must not block the queue for
// good: after kMaxLostAttempts it is reported and dropped.
TEST_F(SqlStatementQueueTest, StatementThatAlwaysBreaksTheConnectionIsGivenUp) {
  const std::string poison = "kill connection connection_id()";
  queue_.QueueStatement(poison);
  queue_.QueueStatement(Insert(0));
  for (int attempt = 0; attempt < SqlStatementQueue::kMaxLostAttempts; ++attempt) {
    ASSERT_TRUE(work_.Connect().ok());
    Tick();
  }
  ASSERT_TRUE(work_.Connect().ok());
  Tick();
  EXPECT_EQ(queue_.Count(), 0u);
  EXPECT_EQ(Stored(), Range(1));
  const std::vector<std::string> events = DrainEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(std::count(events.begin(), events.end(), "*** SQL error: " + SqlText(poison)), 1);
}

TEST_F(SqlStatementQueueTest, ClosingStopsTheServer) {
  queue_.QueueStatement(Insert(0));
  closing_ = true;
  EXPECT_EQ(Tick(), 0);
  EXPECT_EQ(queue_.Count(), 1u);
}

TEST_F(SqlStatementQueueTest, RetentionDeletesRunAfterTheQueue) {
  RetentionCheck due(Now() - 3.0 / 24.0);
  queue_.QueueStatement(Insert(0));
  EXPECT_EQ(TimerMySQL_workTimer(queue_, work_, closing_, due, policy_), 1);
  EXPECT_EQ(queue_.Count(), 3u);  // queued at the end of the tick, run at the next
  EXPECT_EQ(TimerMySQL_workTimer(queue_, work_, closing_, due, policy_), 3);
  EXPECT_TRUE(DrainEvents().empty());
}

}  // namespace
}  // namespace kalvix
