// The database server fails under the running service: killed, frozen with statements
// waiting, a table or a column missing, a user who may only read. The service must neither
// crash nor hang, report every statement it loses, and resume its cycles when the server
// is back without losing a history minute.
#include <signal.h>

#include <iostream>
#include <thread>

#include "app/password_cipher.h"
#include "faults/service_harness.h"
#include "testing/wait_for.h"
#include "util/date_time.h"

namespace kalvix::faults {
namespace {

constexpr const char* kConnectFailed = "Не могу подключиться к MySQL серверу.";
constexpr const char* kConnectionLost = "*** Соединение с MySQL сервером потеряно";
constexpr const char* kRejected = "*** SQL error: ";

class DatabaseFaultTest : public ServiceHarness {
 protected:
  // Seconds from the server's return to the first cycle that reaches last_state again.
  double RecoveryAfterRestart() {
    const auto restarted = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitForCycleAfter(Now(), 60s)) << "cycles resume\n" << Log();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - restarted).count();
  }
  // No minute missing from pu_data within a few seconds of the return: the state row moves
  // already with the first statement that waited, and the history's statements follow it
  // (the minute the killed server took its insert with is written whole by its next cycle).
  void ExpectHistoryWhole() {
    EXPECT_TRUE(WaitFor([&] { return MissingHistoryMinutes() == 0; }, 5s))
        << MissingHistoryMinutes() << "\n"
        << Log();
  }
  void ExpectCleanEnd() {
    EXPECT_TRUE(ServiceAlive());
    EXPECT_EQ(StopService(), 0) << "SIGTERM ends the service in time\n" << Log();
  }
};

TEST_F(DatabaseFaultTest, ServerKilledMidRunAndBackAfterFiveSeconds) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();

  ASSERT_EQ(::kill(ServerPid(), SIGKILL), 0);
  db_.Disconnect();
  ASSERT_TRUE(WaitForLog(kConnectFailed, 15s)) << Log();
  std::this_thread::sleep_for(5s);
  EXPECT_TRUE(ServiceAlive());
  ASSERT_TRUE(Server().Run("start"));
  std::cout << "[ recovery ] server killed for 5 s: cycles again after " << RecoveryAfterRestart()
            << " s\n";

  const std::string log = Log();
  EXPECT_EQ(CountOf(log, kRejected), 0u) << "no statement dropped\n" << log;
  ExpectHistoryWhole();
  ExpectCleanEnd();
}

// Frozen, the server holds the statement in progress while the cycles queue more behind
// it; killed and started again, the queue must run through without dropping any.
TEST_F(DatabaseFaultTest, ServerRestartedWhileStatementsWaitInTheQueue) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();

  const pid_t server = ServerPid();
  ASSERT_EQ(::kill(server, SIGSTOP), 0);
  db_.Disconnect();
  std::this_thread::sleep_for(4s);
  ASSERT_EQ(::kill(server, SIGKILL), 0);
  ASSERT_TRUE(WaitForLog(kConnectionLost, 15s)) << Log();
  ASSERT_TRUE(Server().Run("start"));
  std::cout << "[ recovery ] server frozen 4 s, then restarted: cycles again after "
            << RecoveryAfterRestart() << " s\n";

  const std::string log = Log();
  EXPECT_EQ(CountOf(log, kRejected), 0u) << "no statement dropped\n" << log;
  ExpectHistoryWhole();
  ExpectCleanEnd();
}

struct SchemaFault {
  const char* name;
  const char* statements;  // run before the service starts, separated by ';'
  const char* loginExtra;  // [MySQL] keys for another user, or ""
  const char* reported;    // what the log must say
  const char* progress;    // a count that must rise above 0 meanwhile, or nullptr
};

class SchemaFaultTest : public DatabaseFaultTest,
                        public ::testing::WithParamInterface<SchemaFault> {};

TEST_P(SchemaFaultTest, ReportedWithoutCrashOrHang) {
  const SchemaFault& fault = GetParam();
  std::string statements = fault.statements;
  for (size_t start = 0; start < statements.size();) {
    size_t end = statements.find(';', start);
    if (end == std::string::npos) end = statements.size();
    ASSERT_TRUE(Sql(statements.substr(start, end - start)))
        << statements.substr(start, end - start);
    start = end + 1;
  }
  std::string extra = fault.loginExtra;
  if (!extra.empty()) {
    PasswordCipher cipher;
    extra += "Password=" + cipher.EncipherPassword("reader-pw") + "\n";
  }
  WriteSettings(extra);
  ASSERT_NO_FATAL_FAILURE(StartService());
  EXPECT_TRUE(WaitForLog(fault.reported, 30s)) << Log();
  if (fault.progress != nullptr) {
    EXPECT_TRUE(WaitFor(
        [&] {
          auto r = Rows(fault.progress);
          return r && !r->rows.empty() && DbNumberOr(r->rows[0][0], 0) > 0;
        },
        20s))
        << fault.progress << "\n"
        << Log();
  }
  std::this_thread::sleep_for(2s);
  ExpectCleanEnd();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SchemaFaultTest,
    ::testing::Values(
        SchemaFault{"LastStateColumnMissing", "alter table last_state drop column P_GC", "",
                    "Unknown column", "select count(*) from pu_data"},
        SchemaFault{"HistoryTableMissing", "drop table pu_data", "",
                    "*** Поток управления не запущен: 1146", nullptr},
        SchemaFault{"SignalTableMissing", "drop table `signal`", "", "signal", nullptr},
        SchemaFault{"UserWithoutWriteRights",
                    "create user 'reader'@'localhost' identified by 'reader-pw';"
                    "grant select on kalvix.* to 'reader'@'localhost'",
                    "Login=reader\n", "command denied", nullptr}),
    [](const ::testing::TestParamInfo<SchemaFault>& info) { return info.param.name; });

}  // namespace
}  // namespace kalvix::faults
