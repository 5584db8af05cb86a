#include "testing/test_database.h"

#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "journal/event_log.h"
#include "persistence/sql_literal.h"
#include "testing/file_text.h"
#include "testing/wait_for.h"

namespace kalvix {
namespace {

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : std::string(fallback);
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size())) {
    text.replace(pos, from.size(), to);
  }
  return text;
}

}  // namespace

bool TestServerFromEnvironment(TestServer& server, std::string& why) {
  server.socketPath = EnvOr("KALVIX_TEST_DB_SOCKET", "");
  if (server.socketPath.empty()) {
    why =
        "KALVIX_TEST_DB_SOCKET is not set: this suite needs the private MariaDB server. Run "
        "scripts/test.sh, or start one with scripts/mariadb.sh start DIR and export "
        "KALVIX_TEST_DB_SOCKET (and KALVIX_TEST_DB_PORT) from DIR/env.";
    return false;
  }
  const std::string port = EnvOr("KALVIX_TEST_DB_PORT", "");
  server.port = 0;
  std::from_chars(port.data(), port.data() + port.size(), server.port);
  server.user = EnvOr("KALVIX_TEST_DB_USER", "root");
  return true;
}

std::vector<std::string> SplitSqlScript(std::string_view script) {
  std::vector<std::string> statements;
  std::string current;
  size_t pos = 0;
  while (pos < script.size()) {
    size_t end = script.find('\n', pos);
    if (end == std::string_view::npos) end = script.size();
    std::string_view line = script.substr(pos, end - pos);
    pos = end + 1;
    // The project's scripts put "--" only in comments, never inside a quoted text.
    const size_t comment = line.find("--");
    if (comment != std::string_view::npos) line = line.substr(0, comment);
    const size_t last = line.find_last_not_of(" \t\r");
    if (last == std::string_view::npos) continue;
    line = line.substr(0, last + 1);
    current.append(line);
    current += '\n';
    if (line.back() == ';') {
      current.erase(current.size() - 2);  // the ';' and the line break
      statements.push_back(std::move(current));
      current.clear();
    }
  }
  if (current.find_first_not_of(" \t\r\n") != std::string::npos) statements.push_back(current);
  return statements;
}

ScratchDatabase::~ScratchDatabase() {
  if (!name_.empty() && admin_.Connect().ok()) {
    admin_.Execute("drop database if exists " + SqlIdentifier(name_));
  }
}

void ScratchDatabase::Create() {
  std::string why;
  ASSERT_TRUE(TestServerFromEnvironment(server_, why)) << why;
  static std::atomic<int> counter{0};
  name_ = "kalvix_t" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1));

  ConnectionParams params;
  params.Set("HostName", server_.socketPath);
  params.Set("User_Name", server_.user);
  params.Set("Database", "");
  admin_.SetParams(params);
  const DbStatus connected = admin_.Connect();
  ASSERT_TRUE(connected.ok()) << "cannot reach the test server at " << server_.socketPath << ": "
                              << connected.Describe();

  const std::string schema = ReadFileText(std::string(KALVIX_SOURCE_DIR) + "/db/schema.sql");
  ASSERT_FALSE(schema.empty()) << "db/schema.sql not found under " << KALVIX_SOURCE_DIR;
  for (const std::string& sql :
       SplitSqlScript(ReplaceAll(schema, "`kalvix`", SqlIdentifier(name_)))) {
    const DbStatus status = admin_.Execute(sql);
    ASSERT_TRUE(status.ok()) << status.Describe() << "\n" << sql;
  }
}

void ScratchDatabase::InstallDefaultPlant() {
  const std::string plant = ReadFileText(std::string(KALVIX_SOURCE_DIR) + "/db/default_plant.sql");
  ASSERT_FALSE(plant.empty()) << "db/default_plant.sql not found under " << KALVIX_SOURCE_DIR;
  for (const std::string& sql : SplitSqlScript(plant)) Exec(sql);
}

ConnectionParams ScratchDatabase::Params() const {
  ConnectionParams params;
  params.Set("HostName", server_.socketPath);
  params.Set("User_Name", server_.user);
  params.Set("Database", name_);
  return params;
}

void ScratchDatabase::Exec(std::string_view sql) {
  const DbStatus status = admin_.Execute(sql);
  EXPECT_TRUE(status.ok()) << status.Describe() << "\n" << sql;
}

DbResult ScratchDatabase::Rows(std::string_view sql) {
  DbResult result;
  const DbStatus status = admin_.Query(sql, result);
  EXPECT_TRUE(status.ok()) << status.Describe() << "\n" << sql;
  return result;
}

DbValue ScratchDatabase::Value(std::string_view sql) {
  const DbResult result = Rows(sql);
  if (result.rows.empty() || result.rows.front().empty()) return std::monostate{};
  return result.rows.front().front();
}

void RunWhileLocked(ScratchDatabase& db, std::string_view lockTables, unsigned long waiter,
                    const std::function<void()>& call, const std::function<void()>& meanwhile) {
  DbConnection holder;
  holder.SetParams(db.Params());
  DbStatus locked = holder.Connect();
  if (locked.ok()) locked = holder.Execute("lock tables " + std::string(lockTables));
  ASSERT_TRUE(locked.ok()) << locked.Describe();
  std::thread caller(call);
  const std::string waiting =
      "select count(*) from information_schema.processlist where id=" + std::to_string(waiter) +
      " and state like 'Waiting for table%'";
  const bool waits = WaitFor([&] { return db.Value(waiting) == DbValue{int64_t{1}}; },
                             std::chrono::seconds(10), std::chrono::milliseconds(1));
  EXPECT_TRUE(waits) << "session " << waiter << " never waited for " << lockTables;
  if (waits) meanwhile();
  holder.Disconnect();  // ends the lock
  caller.join();
}

void DbTest::SetUp() {
  ASSERT_NO_FATAL_FAILURE(db_.Create());
  work_.SetParams(db_.Params());
  const DbStatus status = work_.Connect();
  ASSERT_TRUE(status.ok()) << status.Describe();
  DrainEvents();
}

void DbTest::TearDown() { work_.Disconnect(); }

SelectServerThread::SelectServerThread(SqlSelectQueue& queue, DbConnection& work)
    : thread_({statements_, queue, work, closing_, retention_, [] { return RetentionPolicy{}; }}) {
  thread_.Start();
}

PrivateServer::PrivateServer() {
  char pattern[] = "/tmp/kalvix-server-XXXXXX";
  if (mkdtemp(pattern) != nullptr) dir_ = pattern;
}

PrivateServer::~PrivateServer() {
  if (dir_.empty()) return;
  Run("stop");
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool PrivateServer::Run(const char* command) {
  if (dir_.empty()) return false;
  const std::string line = "bash '" + std::string(KALVIX_SOURCE_DIR) + "/scripts/mariadb.sh' " +
                           command + " '" + dir_ + "' >>'" + dir_ + "/script.log' 2>&1";
  return std::system(line.c_str()) == 0;
}

}  // namespace kalvix
