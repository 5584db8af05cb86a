// The database server as a plant may run it: stopped and started again while statements
// wait, and configured with an sql_mode of its own. The suite runs a server of its own
// (scripts/mariadb.sh in a temporary folder), since stopping or reconfiguring the shared test
// server would disturb the other suites.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "persistence/db_connection.h"
#include "persistence/journal_record.h"
#include "persistence/retention.h"
#include "persistence/sql_literal.h"
#include "persistence/sql_statement_queue.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

std::string Insert(int v) { return "insert into seq (v) values (" + std::to_string(v) + ")"; }

class ServerRestart : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<PrivateServer>();
    started_ = server_->Run("start");
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(started_) << "see " << server_->Dir() << "/script.log";
    ASSERT_TRUE(server_->Run("start")) << "see " << server_->Dir() << "/script.log";
  }
  // A connection to the server's database `kalvix`.
  static void Point(DbConnection& connection) {
    SetConnectionParam(connection, "HostName", server_->Socket());
  }

  static std::unique_ptr<PrivateServer> server_;
  static bool started_;
};
std::unique_ptr<PrivateServer> ServerRestart::server_;
bool ServerRestart::started_ = false;

TEST_F(ServerRestart, WaitingStatementsRunAfterTheServerReturns) {
  DbConnection work;
  Point(work);
  ASSERT_TRUE(work.Connect().ok());
  ASSERT_TRUE(work.Execute("drop table if exists seq").ok());
  ASSERT_TRUE(work.Execute("create table seq (id int auto_increment primary key, v int)").ok());

  SqlStatementQueue queue;
  std::atomic<bool> closing{false};
  RetentionCheck retention(Now());
  RetentionPolicy policy;
  auto tick = [&] { return TimerMySQL_workTimer(queue, work, closing, retention, policy); };

  for (int i = 0; i < 5; ++i) queue.QueueStatement(Insert(i));
  EXPECT_EQ(tick(), 5);

  ASSERT_TRUE(server_->Run("stop"));
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

  ASSERT_TRUE(server_->Run("start")) << "see " << server_->Dir() << "/script.log";
  ASSERT_TRUE(work.Connect().ok());
  for (int ticks = 0; queue.Count() > 0 && ticks < 10; ++ticks) tick();
  EXPECT_EQ(queue.Count(), 0u);

  DbResult rows;
  ASSERT_TRUE(work.Query("select v from seq order by id", rows).ok());
  ASSERT_EQ(rows.rows.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(rows.rows[i][0], DbValue{int64_t{i}});
  EXPECT_TRUE(DrainEvents().empty());
}

// The window thread's own connection after a server restart: the next use opens a new
// session by itself, so the operator's buttons and pages keep working; at most the one call
// that meets the dead session fails.
TEST_F(ServerRestart, UserConnectionWorksAgainAfterTheServerRestarts) {
  DbConnection user;
  Point(user);
  ASSERT_TRUE(user.Connect().ok());
  ASSERT_TRUE(server_->Run("stop"));
  ASSERT_TRUE(server_->Run("start")) << "see " << server_->Dir() << "/script.log";

  DbValue value;
  const DbStatus first = user.QueryValue("select count(*) as Rez from pu_data", "Rez", value);
  EXPECT_TRUE(first.ok() || first.ConnectionDown()) << first.Describe();
  const DbStatus second = user.QueryValue("select count(*) as Rez from pu_data", "Rez", value);
  EXPECT_TRUE(second.ok()) << second.Describe();
  EXPECT_TRUE(user.Connected());
}

// A server whose sql_mode holds NO_BACKSLASH_ESCAPES reads \' as a backslash and the end of
// the text. Every session of ours drops that mode (keeping the rest of the site's), so a text
// from another program, such as a task's user name copied into the journal, can neither
// break nor extend a statement.
TEST_F(ServerRestart, TextsKeepTheirMeaningWhateverTheServersSqlMode) {
  const std::string awkward = "O'Neil \\ \"q\"";
  DbConnection admin;
  Point(admin);
  ASSERT_TRUE(admin.Connect().ok());
  DbValue globalMode;
  ASSERT_TRUE(admin.QueryValue("select @@GLOBAL.sql_mode as Rez", "Rez", globalMode).ok());
  for (const bool noBackslashEscapes : {false, true}) {
    SCOPED_TRACE(noBackslashEscapes ? "NO_BACKSLASH_ESCAPES" : "default sql_mode");
    const std::string mode =
        DbToText(globalMode) + (noBackslashEscapes ? ",NO_BACKSLASH_ESCAPES" : "");
    ASSERT_TRUE(admin.Execute("set global sql_mode = " + SqlText(mode)).ok());
    ASSERT_TRUE(admin.Execute("delete from control_log").ok());

    DbConnection work;  // a new session, under the server's mode
    Point(work);
    ASSERT_TRUE(work.Connect().ok());
    DbValue sessionMode;
    ASSERT_TRUE(work.QueryValue("select @@SESSION.sql_mode as Rez", "Rez", sessionMode).ok());
    EXPECT_EQ(DbToText(sessionMode).find("NO_BACKSLASH_ESCAPES"), std::string::npos);
    EXPECT_NE(DbToText(sessionMode).find("STRICT_TRANS_TABLES"), std::string::npos)
        << "the rest of the site's mode is kept: " << DbToText(sessionMode);

    SqlStatementQueue queue;
    JournalNumbering numbering(Now());
    std::atomic<bool> closing{false};
    RetentionCheck retention(Now());
    DrainEvents();
    ASSERT_TRUE(AddJournalRecord(numbering, queue, "Новое задание: " + awkward, awkward));
    EXPECT_EQ(TimerMySQL_workTimer(queue, work, closing, retention, RetentionPolicy{}), 1);
    EXPECT_TRUE(DrainEvents().empty());
    DbResult rows;
    ASSERT_TRUE(work.Query("select MessageText, MessageKind from control_log", rows).ok());
    ASSERT_EQ(rows.rows.size(), 1u);
    EXPECT_EQ(DbToText(rows.rows[0][0]), "Новое задание: " + awkward);
    EXPECT_EQ(DbToText(rows.rows[0][1]), awkward);
  }
  ASSERT_TRUE(admin.Execute("set global sql_mode = " + SqlText(DbToText(globalMode))).ok());
}

}  // namespace
}  // namespace kalvix
