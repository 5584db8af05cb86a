// How many statements per second the statement server runs against a local MariaDB when the
// twelve-per-tick throttle is lifted. bench/sql_throughput.sh starts a private server, sets
// up the database kalvix_bench, runs this and then the mariadb client on the same statements.
//
//   bench_sql_throughput                      the benchmarks (KALVIX_BENCH_DB_SOCKET)
//   bench_sql_throughput --print=journal N    print N journal statements and exit
//   bench_sql_throughput --print=state N      print N state-row updates and exit
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "persistence/db_connection.h"
#include "persistence/retention.h"
#include "persistence/retention.h"
#include "persistence/sql_literal.h"
#include "persistence/sql_statement_queue.h"

namespace kalvix {
namespace {

// A journal row as AddJournalRecord builds it.
std::string JournalInsert(int i) {
  return "insert into control_log (RecMoment, NPP, MessageText, MessageKind) "
         "VALUES('2024-01-01 00:00:00', " +
         std::to_string(i % 1000) + ", " + SqlText("Новое задание: Плотность=1,35, Нагрузка=80") +
         ", " + SqlText("СЛУЖБА ПРИЕМА") + ")";
}

// The state row's update, as the control thread queues it every second (24 signals).
std::string StateUpdate(int i) {
  static const char* const kColumns[] = {
      "PLS",     "Y_VODA", "Q_SUSP", "Q_VODA", "UR_SUSP", "P_GC",   "UR_MAGN", "TNK23",
      "G23",     "BKK23",  "G2",     "G41",    "G_1T1",   "I_NAS1", "I_NAS2",  "I_SEP",
      "UR_BUNK", "F_PIT",  "PIT_ON", "RAB",    "RN",      "G_1T2",  "G_1T23",  "G_1T41"};
  std::string sql = "update last_state set RecMoment=Now()";
  int k = 0;
  for (const char* column : kColumns) {
    sql += ", ";
    sql += column;
    sql += '=';
    sql += SqlFloat(1.25 + 0.001 * ((i + k++) % 1000));
  }
  return sql;
}

DbConnection& Connection() {
  static DbConnection connection;
  static const bool configured = [] {
    const char* socket = std::getenv("KALVIX_BENCH_DB_SOCKET");
    SetConnectionParam(connection, "HostName", socket != nullptr ? socket : "");
    SetConnectionParam(connection, "Database", "kalvix_bench");
    return true;
  }();
  (void)configured;
  return connection;
}

// Each iteration fills the queue (101 statements) untimed and serves it with the per-tick
// limit lifted and no pause between calls: items per second is the server's own rate.
template <std::string (*Make)(int)>
void BM_StatementServer(benchmark::State& state) {
  DbConnection& work = Connection();
  const DbStatus connected = work.Connect();
  if (!connected.ok()) {
    state.SkipWithError(("cannot connect: " + connected.Describe()).c_str());
    return;
  }
  SqlStatementQueue queue;
  std::atomic<bool> closing{false};
  RetentionCheck retention(0);
  RetentionPolicy policy;
  policy.AutoCleanFlag = false;
  constexpr int kUnthrottled = 1 << 30;
  int serial = 0;
  int64_t done = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (size_t i = 0; i <= SqlStatementQueue::kMaxWaiting; ++i)
      queue.QueueStatement(Make(serial++));
    state.ResumeTiming();
    while (queue.Count() > 0) {
      const int served =
          TimerMySQL_workTimer(queue, work, closing, retention, policy, kUnthrottled);
      if (served == 0) {
        state.SkipWithError("the server stopped serving");
        return;
      }
      done += served;
    }
  }
  state.SetItemsProcessed(done);
}

BENCHMARK_TEMPLATE(BM_StatementServer, JournalInsert)->UseRealTime();
BENCHMARK_TEMPLATE(BM_StatementServer, StateUpdate)->UseRealTime();

}  // namespace
}  // namespace kalvix

int main(int argc, char** argv) {
  if (argc == 3 && std::strncmp(argv[1], "--print=", 8) == 0) {
    const std::string kind = argv[1] + 8;
    const int n = std::atoi(argv[2]);
    for (int i = 0; i < n; ++i) {
      const std::string sql = kind == "state" ? kalvix::StateUpdate(i) : kalvix::JournalInsert(i);
      std::printf("%s;\n", sql.c_str());
    }
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
