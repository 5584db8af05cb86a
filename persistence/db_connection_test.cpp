#include "persistence/db_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "testing/events.h"
#include "testing/tcp_listeners.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

using DbConnectionTest = DbTest;

TEST_F(DbConnectionTest, ReadsEachKindOfValue) {
  struct Case {
    const char* sql;
    DbValue expected;
  };
  const Case cases[] = {
      {"select NULL as Rez", DbValue{}},
      {"select 42 as Rez", DbValue{int64_t{42}}},
      {"select -9000000000 as Rez", DbValue{int64_t{-9000000000}}},
      {"select 18446744073709551615 as Rez", DbValue{18446744073709551615.0}},
      {"select cast(1.35 as double) as Rez", DbValue{1.35}},
      {"select 2.50 as Rez", DbValue{2.5}},  // DECIMAL
      {"select 'Плотность' as Rez", DbValue{std::string("Плотность")}},
      {"select '\xF0\x9F\x9A\x9C' as Rez",
       DbValue{std::string("\xF0\x9F\x9A\x9C")}},  // 4-byte UTF-8
      {"select cast('2011-07-05 14:03:27' as datetime) as Rez",
       DbValue{DbDateTime{EncodeDateTime({2011, 7, 5, 14, 3, 27, 0})}}},
      {"select cast('2011-07-05 14:03:27.250' as datetime(3)) as Rez",
       DbValue{DbDateTime{EncodeDateTime({2011, 7, 5, 14, 3, 27, 250})}}},
      {"select cast('2011-07-05' as date) as Rez",
       DbValue{DbDateTime{EncodeDateTime({2011, 7, 5, 0, 0, 0, 0})}}},
      {"select ConstVal as Rez from setup", DbValue{}},  // no row
  };
  for (const Case& c : cases) {
    DbValue value{std::string("untouched")};
    const DbStatus status = work_.QueryValue(c.sql, "Rez", value);
    ASSERT_TRUE(status.ok()) << c.sql << ": " << status.Describe();
    EXPECT_EQ(value, c.expected) << c.sql << " gave " << DbToText(value);
  }
}

TEST_F(DbConnectionTest, ColumnNameIgnoresCaseAndMissingColumnIsAnError) {
  DbValue value;
  EXPECT_TRUE(work_.QueryValue("select 7 as rez", "Rez", value).ok());
  EXPECT_EQ(value, DbValue{int64_t{7}});
  const DbStatus missing = work_.QueryValue("select 7 as Other", "Rez", value);
  EXPECT_EQ(missing.kind, DbErrorKind::kNoSuchColumn);
  EXPECT_TRUE(work_.Connected());
}

TEST_F(DbConnectionTest, RejectedStatementKeepsTheConnection) {
  const DbStatus status = work_.Execute("insert into no_such_table values (1)");
  EXPECT_EQ(status.kind, DbErrorKind::kRejected);
  EXPECT_EQ(status.code, 1146u);
  EXPECT_NE(status.message.find("no_such_table"), std::string::npos);
  EXPECT_TRUE(work_.Connected());
  EXPECT_TRUE(work_.Execute("insert into setup values ('A', 1, '')").ok());
}

TEST_F(DbConnectionTest, ExecuteReadsAwayAResultSet) {
  EXPECT_TRUE(work_.Execute("select 1").ok());
  DbValue value;
  EXPECT_TRUE(work_.QueryValue("select 2 as Rez", "Rez", value).ok());  // still in step
  EXPECT_EQ(value, DbValue{int64_t{2}});
}

// A lost session is marked down at once; the next call opens a new one (saying so) and runs
// on it, and the after-connect task runs for every session. Disconnect() ends that.
TEST_F(DbConnectionTest, LostSessionIsReopenedByTheNextCall) {
  int afterConnect = 0;
  work_.SetAfterConnect([&] { ++afterConnect; });
  ASSERT_TRUE(work_.Execute("select 1").ok());  // recently used: no ping before the next call
  const unsigned long id = work_.SessionId();
  ASSERT_NE(id, 0u);
  db_.Exec("kill connection " + std::to_string(id));
  const DbStatus status = work_.Execute("insert into setup values ('A', 1, '')");
  EXPECT_EQ(status.kind, DbErrorKind::kConnectionLost) << status.Describe();
  EXPECT_TRUE(status.ConnectionDown());
  EXPECT_FALSE(work_.Connected());
  DrainEvents();

  EXPECT_TRUE(work_.Execute("insert into setup values ('A', 1, '')").ok());
  EXPECT_TRUE(work_.Connected());
  EXPECT_NE(work_.SessionId(), id);
  EXPECT_EQ(afterConnect, 1);
  EXPECT_EQ(DrainEvents(),
            std::vector<std::string>{"=== Соединение с MySQL сервером восстановлено ==="});

  work_.Disconnect();
  EXPECT_EQ(work_.Execute("select 1").kind, DbErrorKind::kNotConnected);
  ASSERT_TRUE(work_.Connect().ok());
  EXPECT_EQ(afterConnect, 2);
}

// The server ends a session that stays idle longer than its wait_timeout (8 hours by
// default). The next call finds that out with a ping and runs on a new session: nothing fails.
TEST_F(DbConnectionTest, SessionEndedForIdlenessIsReopenedBeforeTheCall) {
  ASSERT_TRUE(work_.Execute("set session wait_timeout = 1").ok());
  const unsigned long id = work_.SessionId();
  std::this_thread::sleep_for(DbConnection::kIdleProbe + std::chrono::milliseconds(500));
  DbValue value;
  const DbStatus status = work_.QueryValue("select 5 as Rez", "Rez", value);
  EXPECT_TRUE(status.ok()) << status.Describe();
  EXPECT_EQ(value, DbValue{int64_t{5}});
  EXPECT_NE(work_.SessionId(), id);
}

// The statement that kills its own session is the case of a statement under which the
// connection breaks; the error must say "lost", not "rejected".
TEST_F(DbConnectionTest, ConnectionBreakingUnderTheStatementIsLost) {
  const DbStatus status = work_.Execute("kill connection connection_id()");
  EXPECT_TRUE(status.ConnectionDown()) << status.Describe();
  EXPECT_FALSE(work_.Connected());
}

TEST_F(DbConnectionTest, ShowFieldsListsColumnsInTableOrder) {
  std::vector<std::string> fields;
  ASSERT_TRUE(work_.ShowFields("signal", fields).ok());  // a reserved word as a table name
  const std::vector<std::string> expected = {"BusName",      "SignalName", "DevNum",
                                             "Addr",         "Kind",       "InverseBytes",
                                             "InverseWords", "Direction"};
  EXPECT_EQ(fields, expected);
  EXPECT_EQ(work_.ShowFields("no_such_table", fields).kind, DbErrorKind::kRejected);
}

TEST_F(DbConnectionTest, QueryReadsAllRows) {
  db_.Exec("insert into setup values ('A', 1, 'first'), ('B', NULL, '')");
  DbResult result;
  ASSERT_TRUE(
      work_.Query("select ConstName, ConstVal, Comment from setup order by ConstName", result)
          .ok());
  ASSERT_EQ(result.rows.size(), 2u);
  EXPECT_EQ(result.ColumnIndex("constval"), 1);
  EXPECT_EQ(result.ColumnIndex("nothing"), -1);
  EXPECT_EQ(result.rows[0][1], DbValue{1.0});
  EXPECT_EQ(result.rows[1][1], DbValue{});
  EXPECT_EQ(result.rows[0][2], DbValue{std::string("first")});
}

// Host forms: the socket path (the fixture's own connection), host:port over loopback TCP.
TEST_F(DbConnectionTest, HostAndPortOverTcp) {
  if (db_.Server().port == 0) GTEST_FAIL() << "KALVIX_TEST_DB_PORT is not set";
  DbConnection tcp;
  ConnectionParams params = db_.Params();
  params.Set("HostName", "127.0.0.1:" + std::to_string(db_.Server().port));
  tcp.SetParams(params);
  const DbStatus status = tcp.Connect();
  ASSERT_TRUE(status.ok()) << status.Describe();
  DbValue value;
  ASSERT_TRUE(tcp.QueryValue("select @@character_set_client as Rez", "Rez", value).ok());
  EXPECT_EQ(value, DbValue{std::string("utf8mb4")});
}

TEST_F(DbConnectionTest, UnreachableServerFailsPromptly) {
  struct Case {
    const char* host;
    DbErrorKind kind;
  };
  const Case cases[] = {
      {"/nonexistent/mysqld.sock", DbErrorKind::kConnectionLost},  // 2002
      {"127.0.0.1:1", DbErrorKind::kConnectionLost},               // 2003: nothing listens
      {"127.0.0.1:notaport", DbErrorKind::kBadParameter},
  };
  for (const Case& c : cases) {
    DbConnection connection;
    SetConnectionParam(connection, "HostName", c.host);
    const auto start = std::chrono::steady_clock::now();
    const DbStatus status = connection.Connect();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status.kind, c.kind) << c.host << ": " << status.Describe();
    EXPECT_FALSE(connection.Connected()) << c.host;
    EXPECT_LT(elapsed, std::chrono::seconds(DbConnection::kConnectTimeoutSeconds + 2)) << c.host;
  }
}

// A list's first entry that cannot give a session costs at most one connection time-out: the
// connection opens on the next entry and says which one it is on.
TEST_F(DbConnectionTest, ListSkipsAFirstEntryThatDoesNotAnswer) {
  SilentListener silent;
  ASSERT_NE(silent.Port(), 0u);
  const std::string server = db_.Server().socketPath;
  const std::string firsts[] = {silent.Entry(), "127.0.0.1:1", "/nonexistent/mysqld.sock"};
  for (const std::string& first : firsts) {
    DbConnection connection;
    ConnectionParams params = db_.Params();
    params.Set("HostName", first + ", " + server);
    connection.SetParams(params);
    DrainEvents();
    const auto start = std::chrono::steady_clock::now();
    const DbStatus status = connection.Connect();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(status.ok()) << first << ": " << status.Describe();
    EXPECT_LT(elapsed, std::chrono::seconds(DbConnection::kConnectTimeoutSeconds + 2)) << first;
    EXPECT_EQ(connection.ServerInUse(), server) << first;
    EXPECT_EQ(DrainEvents(), std::vector<std::string>{"Подключено к MySQL серверу " + server})
        << first;
  }
}

// A lost session opens again on the next entry, wrapping round to the first; the statement
// that met the loss is the caller's to run again.
TEST_F(DbConnectionTest, LostSessionMovesToTheNextEntryOfTheList) {
  if (db_.Server().port == 0) GTEST_FAIL() << "KALVIX_TEST_DB_PORT is not set";
  const std::string entries[] = {db_.Server().socketPath,
                                 "127.0.0.1:" + std::to_string(db_.Server().port)};
  DbConnection connection;
  ConnectionParams params = db_.Params();
  params.Set("HostName", entries[0] + "," + entries[1]);
  connection.SetParams(params);
  ASSERT_TRUE(connection.Connect().ok());
  EXPECT_EQ(connection.ServerInUse(), entries[0]);
  DrainEvents();
  for (int k = 1; k <= 3; ++k) {
    db_.Exec("kill connection " + std::to_string(connection.SessionId()));
    EXPECT_EQ(connection.Execute("select 1").kind, DbErrorKind::kConnectionLost) << k;
    EXPECT_EQ(connection.ServerInUse(), "") << k;
    ASSERT_TRUE(connection.Execute("select 1").ok()) << k;
    const std::string& expected = entries[k % 2];
    EXPECT_EQ(connection.ServerInUse(), expected) << k;
    EXPECT_EQ(DrainEvents(),
              (std::vector<std::string>{"=== Соединение с MySQL сервером восстановлено ===",
                                        "Подключено к MySQL серверу " + expected}))
        << k;
  }
  // A new Connect() starts from the head of the list again.
  connection.Disconnect();
  ASSERT_TRUE(connection.Connect().ok());
  EXPECT_EQ(connection.ServerInUse(), entries[0]);
}

// A list of servers none of which answers is one failed attempt that tries each entry once
// and names the last one in its reason.
TEST_F(DbConnectionTest, ListOfDeadEntriesIsOneAttempt) {
  ClosingListener first;
  ClosingListener second;
  ASSERT_NE(first.Port(), 0u);
  ASSERT_NE(second.Port(), 0u);
  DbConnection connection;
  SetConnectionParam(connection, "HostName", first.Entry() + "," + second.Entry());
  DrainEvents();
  const DbStatus status = connection.Connect();
  EXPECT_TRUE(status.ConnectionDown()) << status.Describe();
  EXPECT_NE(status.message.find(second.Entry()), std::string::npos) << status.Describe();
  EXPECT_FALSE(connection.Connected());
  EXPECT_EQ(first.Accepted(), 1);
  EXPECT_EQ(second.Accepted(), 1);
  EXPECT_TRUE(DrainEvents().empty());
}

TEST_F(DbConnectionTest, WrongDatabaseIsRejected) {
  DbConnection connection;
  ConnectionParams params = db_.Params();
  params.Set("Database", "no_such_database_here");
  connection.SetParams(params);
  const DbStatus status = connection.Connect();
  EXPECT_EQ(status.kind, DbErrorKind::kRejected);
  EXPECT_EQ(status.code, 1049u);
}

}  // namespace
}  // namespace kalvix
