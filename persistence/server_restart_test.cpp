// The database server stops and starts again while statements wait: none may be lost. The
// suite runs a server of its own (scripts/mariadb.sh in a temporary folder), since stopping
// the shared test server would disturb the other suites.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "persistence/db_connection.h"
#include "persistence/retention.h"
#include "persistence/sql_statement_queue.h"
#include "persistence/test_database.h"

namespace kalvix {
namespace {

std::string Insert(int v) { return "insert into seq (v) values (" + std::to_string(v) + ")"; }

TEST(ServerRestart, WaitingStatementsRunAfterTheServerReturns) {
  PrivateServer server;
  ASSERT_TRUE(server.Run("start")) << "see " << server.Dir() << "/script.log";

  DbConnection work;
  SetConnectionParam(work, "HostName", server.Socket());
  ASSERT_TRUE(work.Connect().ok());
  ASSERT_TRUE(work.Execute("create table seq (id int auto_increment primary key, v int)").ok());

  SqlStatementQueue queue;
  std::atomic<bool> closing{false};
  RetentionCheck retention(Now());
  Settings settings;
  auto tick = [&] { return TimerMySQL_workTimer(queue, work, closing, retention, settings); };

  for (int i = 0; i < 5; ++i) queue.QueueStatement(Insert(i));
  EXPECT_EQ(tick(), 5);

  ASSERT_TRUE(server.Run("stop"));
  DrainEvents();
  for (int i = 5; i < 40; ++i) ASSERT_TRUE(queue.QueueStatement(Insert(i)));
  EXPECT_EQ(tick(), 0);  // the first statement finds the server gone
  EXPECT_FALSE(work.Connected());
  EXPECT_EQ(tick(), 0);
  EXPECT_EQ(queue.Count(), 35u);
  const DbStatus down = work.Connect();
  EXPECT_TRUE(down.ConnectionDown()) << down.Describe();
  const std::vector<std::string> events = DrainEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("*** Соединение с MySQL сервером потеряно: ", 0), 0u) << events[0];

  ASSERT_TRUE(server.Run("start")) << "see " << server.Dir() << "/script.log";
  ASSERT_TRUE(work.Connect().ok());
  for (int ticks = 0; queue.Count() > 0 && ticks < 10; ++ticks) tick();
  EXPECT_EQ(queue.Count(), 0u);

  DbResult rows;
  ASSERT_TRUE(work.Query("select v from seq order by id", rows).ok());
  ASSERT_EQ(rows.rows.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(rows.rows[i][0], DbValue{int64_t{i}});
  EXPECT_TRUE(DrainEvents().empty());
}

}  // namespace
}  // namespace kalvix
