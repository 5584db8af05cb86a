// Test support: a scratch database on the private MariaDB server of the test run.
//
// The server is named by the environment: KALVIX_TEST_DB_SOCKET (its Unix socket; required),
// KALVIX_TEST_DB_PORT (its loopback TCP port, for the host:port tests), KALVIX_TEST_DB_USER
// (default root, no password). scripts/test.sh starts the server and sets them; by hand:
//   scripts/mariadb.sh start /tmp/kalvix-db && source /tmp/kalvix-db/env
//   export KALVIX_TEST_DB_SOCKET=$KALVIX_DB_SOCKET KALVIX_TEST_DB_PORT=$KALVIX_DB_PORT
//
// Each ScratchDatabase creates a database of its own, with the tables of db/schema.sql, and
// drops it again, so suites running at the same time never meet.
#ifndef KALVIX_TESTING_TEST_DATABASE_H_
#define KALVIX_TESTING_TEST_DATABASE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "persistence/connection_params.h"
#include "persistence/database_thread.h"
#include "persistence/db_connection.h"
#include "persistence/db_result.h"
#include "persistence/retention.h"
#include "persistence/sql_select_queue.h"
#include "testing/events.h"

namespace kalvix {

struct TestServer {
  std::string socketPath;
  unsigned port = 0;  // 0 when KALVIX_TEST_DB_PORT is not set
  std::string user;
};

// False, with why set, when KALVIX_TEST_DB_SOCKET is missing.
bool TestServerFromEnvironment(TestServer& server, std::string& why);

// The statements of an SQL script, split at the ';' that ends a line, comments removed.
std::vector<std::string> SplitSqlScript(std::string_view script);

class ScratchDatabase {
 public:
  ScratchDatabase() = default;
  ~ScratchDatabase();
  ScratchDatabase(const ScratchDatabase&) = delete;
  ScratchDatabase& operator=(const ScratchDatabase&) = delete;

  // Creates the database and loads db/schema.sql into it. Gtest failures on error.
  void Create();
  // Loads db/default_plant.sql: the 27 signals, their calibrations and the constants.
  void InstallDefaultPlant();

  const std::string& Name() const { return name_; }
  const TestServer& Server() const { return server_; }
  // Parameters that reach the scratch database over the socket.
  ConnectionParams Params() const;

  // On the fixture's own connection; failures are gtest failures.
  void Exec(std::string_view sql);
  DbResult Rows(std::string_view sql);
  DbValue Value(std::string_view sql);  // the first column of the first row (NULL if none)

 private:
  TestServer server_;
  std::string name_;
  DbConnection admin_;
};

// A MariaDB server of the test's own (scripts/mariadb.sh in a temporary folder), for suites
// that stop and start the server, which would disturb the shared one. Its database `kalvix`
// holds the default plant.
class PrivateServer {
 public:
  PrivateServer();
  ~PrivateServer();  // stops the server and removes its folder
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  // scripts/mariadb.sh start|stop on the folder; its output goes to script.log there.
  bool Run(const char* command);
  std::string Socket() const { return dir_ + "/mysqld.sock"; }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
};

// The server holding up a statement and then ending its session, or letting it go on: runs
// `call` on a thread of its own while a session of the test holds `lockTables` (as LOCK TABLES
// names them: "pu_data write"); once the session `waiter` waits for that lock, runs
// `meanwhile` here ("kill connection <waiter>" loses the waiting statement's connection),
// then releases the lock and joins the thread. A gtest failure when the session never comes to
// wait.
void RunWhileLocked(ScratchDatabase& db, std::string_view lockTables, unsigned long waiter,
                    const std::function<void()>& call, const std::function<void()>& meanwhile);

// A fixture with a scratch database and a work connection to it.
class DbTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  ScratchDatabase db_;
  DbConnection work_;
};

// The service's database thread serving a select queue of the test's own (its statement
// queue is a private, empty one) from construction until destruction. It installs the work
// connection's after-connect task: build it before other threads use the connection.
class SelectServerThread {
 public:
  SelectServerThread(SqlSelectQueue& queue, DbConnection& work);
  SelectServerThread(const SelectServerThread&) = delete;
  SelectServerThread& operator=(const SelectServerThread&) = delete;

 private:
  SqlStatementQueue statements_;
  std::atomic<bool> closing_{false};
  RetentionCheck retention_{Now()};
  DatabaseThread thread_;  // last: it goes first
};

}  // namespace kalvix

#endif  // KALVIX_TESTING_TEST_DATABASE_H_
