// bench_spool_replay: the spool of rows that wait for the server, with a 90-signal plant.
//
//  1. Write-back rate: spools of minute rows (new rows, then rows the server holds already)
//     and of journal rows, each written back by one Replay with no pacing: rows per second.
//  2. A 24-hour outage's spool (1440 minute rows and a journal row every ten minutes) written
//     back through a running database thread, paced as in service, while a live statement is
//     queued every 980 ms: how long the write-back takes and how long a live statement waits.
//  3. The spool's part in a history cycle: with the server there (the keeper's calls counted:
//     none is expected, so no SQLite call) and with it away (one KeepMinute per minute), beside
//     the same cycles with the spool switched off; and what one KeepMinute and one KeepJournal
//     cost, each a transaction synced to disk (WAL, synchronous=FULL).
//
//   bench_spool_replay --socket SOCK [--folder DIR] [--minutes N] [--cycles N]
//
// The server must hold the database `kalvix` (scripts/mariadb.sh makes it); the benchmark
// makes kalvix_spool_bench beside it, with the history, journal and state tables and 63 more
// signal columns, and drops it at the end. The spool files go to DIR (default: a new folder
// under /tmp, removed at the end), whose filesystem decides what a synced put costs.
#include <stdlib.h>
#include <sys/statfs.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/sample_stats.h"
#include "persistence/database_thread.h"
#include "persistence/db_connection.h"
#include "persistence/journal_record.h"
#include "persistence/minute_history.h"
#include "persistence/retention.h"
#include "persistence/spool_keeper.h"
#include "persistence/sql_literal.h"
#include "persistence/sql_select_queue.h"
#include "persistence/sql_statement_queue.h"
#include "plant/control_state.h"
#include "plant/signal_set.h"

namespace {

using namespace kalvix;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kDatabase = "kalvix_spool_bench";
constexpr int kExtraSignals = 63;
constexpr int kUnpaced = 1 << 30;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

DateTime Day(int day) { return EncodeDateTime({2011, 7, 5 + day, 0, 0, 0, 0}); }
DateTime Seconds(DateTime base, int s) { return base + s / kSecondsPerDay; }

bool Check(const DbStatus& status, const char* what) {
  if (status.ok()) return true;
  std::fprintf(stderr, "bench_spool_replay: %s: %s\n", what, status.Describe().c_str());
  return false;
}

// Forwards to the spool and counts the calls: every SQLite call of a cycle goes through here.
class CountingKeeper : public RowKeeper {
 public:
  explicit CountingKeeper(SpoolKeeper& spool) : spool_(spool) {}
  void KeepJournal(DateTime moment, int32_t npp, std::string_view message,
                   std::string_view source) override {
    ++calls;
    spool_.KeepJournal(moment, npp, message, source);
  }
  void KeepMinute(DateTime moment, std::string_view minuteKey, std::string_view upsert,
                  std::string_view counters) override {
    ++calls;
    spool_.KeepMinute(moment, minuteKey, upsert, counters);
  }
  std::atomic<int64_t> calls{0};

 private:
  SpoolKeeper& spool_;
};

struct Bench {
  std::string socket;
  std::filesystem::path folder;
  int minutes = 1440;
  int cycles = 3600;

  DbConnection admin;
  DbConnection work;
  SignalSet signals;
  int spoolFiles = 0;

  bool Prepare();
  void Drop() { admin.Execute(std::string("drop database if exists ") + kDatabase); }
  std::string NewSpoolFile() {
    return (folder / ("spool-" + std::to_string(++spoolFiles) + ".db")).string();
  }
  // The averaged values of a cycle: every signal a little apart, the counters rising.
  void SetValues(int cycle);
  // A minute's row of the 90-signal plant, as the history keeps it.
  std::string MinuteUpsert(DateTime lastCycle, int seed) const;
  void KeepMinutes(SpoolKeeper& spool, DateTime base, int count, std::vector<double>* ms);
  void KeepJournal(SpoolKeeper& spool, DateTime base, int count, int everyMinutes,
                   std::vector<double>* ms);

  void WriteBackRate();
  void PacedWriteBack();
  void CycleCost();
};

bool Bench::Prepare() {
  ConnectionParams params;
  params.Set("HostName", socket);
  params.Set("Database", "");
  admin.SetParams(params);
  if (!Check(admin.Connect(), "connect")) return false;
  Drop();
  std::string columns;
  for (int n = 1; n <= kExtraSignals; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "AUX_%02d", n);
    columns += std::string(columns.empty() ? "" : ",") + " add column " + name + " double";
  }
  const std::string db = kDatabase;
  for (const std::string& sql : {
           "create database " + db,
           "create table " + db + ".pu_data like kalvix.pu_data",
           "create table " + db + ".control_log like kalvix.control_log",
           "create table " + db + ".last_state like kalvix.last_state",
           "insert into " + db + ".last_state (RecMoment) values (Now())",
           "alter table " + db + ".pu_data" + columns,
       }) {
    if (!Check(admin.Execute(sql), sql.c_str())) return false;
  }
  params.Set("Database", kDatabase);
  work.SetParams(params);
  if (!Check(work.Connect(), "connect to the bench database")) return false;

  std::vector<std::string> fields;
  if (!Check(work.ShowFields("pu_data", fields), "show fields")) return false;
  std::vector<TSignalSet> list;
  for (const std::string& name : fields) {
    if (name == "RecMoment") continue;
    TSignalSet s;
    s.BusName = "V120";
    s.SignalName = name;
    s.Direction = name.front() == '_' ? "WRITE" : "READ";
    list.push_back(std::move(s));
  }
  signals.Replace(std::move(list));
  return true;
}

void Bench::SetValues(int cycle) {
  for (int i = 0; i < signals.SignalCount(); ++i) {
    signals.AveragedValues.SetSlot(i, 1.2345 + 0.001 * ((cycle + 7 * i) % 1000));
  }
  for (const char* counter : {"G2", "G23", "G41"}) {
    signals.AveragedValues.SetSlot(signals.SignalIndex(counter), 100000.0 + 0.25 * cycle);
  }
}

std::string Bench::MinuteUpsert(DateTime lastCycle, int seed) const {
  std::vector<HistoryValue> row;
  for (int i = 0; i < signals.SignalCount(); ++i) {
    row.push_back({signals.Signals()[static_cast<size_t>(i)].SignalName,
                   1.2345 + 0.001 * ((seed + 7 * i) % 1000)});
  }
  return HistoryUpsertStatement(row, MinuteKey(lastCycle));
}

void Bench::KeepMinutes(SpoolKeeper& spool, DateTime base, int count, std::vector<double>* ms) {
  for (int m = 0; m < count; ++m) {
    const DateTime lastCycle = Seconds(base, 60 * m + 59);
    const std::string upsert = MinuteUpsert(lastCycle, m);
    const auto start = Clock::now();
    spool.KeepMinute(lastCycle, MinuteKey(lastCycle), upsert, "G2=100000;G23=100000;G41=100000");
    if (ms != nullptr) ms->push_back(MsSince(start));
  }
}

void Bench::KeepJournal(SpoolKeeper& spool, DateTime base, int count, int everyMinutes,
                        std::vector<double>* ms) {
  for (int j = 0; j < count; ++j) {
    const auto start = Clock::now();
    spool.KeepJournal(Seconds(base, 60 * everyMinutes * j + 30), j % 1000,
                      "Новое задание: Плотность=1,35, Нагрузка=80", kServiceSource);
    if (ms != nullptr) ms->push_back(MsSince(start));
  }
}

// 1. One unpaced Replay of a whole spool.
void Bench::WriteBackRate() {
  std::printf("== write-back rate, one Replay without pacing\n");
  struct Run {
    const char* name;
    bool journal;
  };
  // The second run keeps the first one's minutes again: the server holds them, the upserts
  // update.
  const Run runs[] = {
      {"minute_rows_new", false},
      {"minute_rows_there", false},
      {"journal_rows", true},
  };
  admin.Execute(std::string("delete from ") + kDatabase + ".pu_data");
  for (const Run& run : runs) {
    SpoolKeeper spool;
    if (!spool.Open(NewSpoolFile()).ok()) return;
    spool.SetMaxDays(0);
    if (run.journal) {
      KeepJournal(spool, Day(0), minutes, 1, nullptr);
    } else {
      KeepMinutes(spool, Day(0), minutes, nullptr);
    }
    const int64_t rows = spool.Waiting().rows;
    const auto start = Clock::now();
    const int done = spool.Replay(work, kUnpaced);
    const double seconds = MsSince(start) / 1000;
    std::printf("%s rows %lld written %d seconds %.2f rows_per_s %.0f\n", run.name,
                static_cast<long long>(rows), done, seconds, done / seconds);
  }
}

// 2. A day's spool through the database thread, with the live statements of a running plant.
void Bench::PacedWriteBack() {
  const int journalRows = minutes / 10;
  std::printf(
      "\n== %d minute rows and %d journal rows through the database thread, a live "
      "statement every 980 ms\n",
      minutes, journalRows);
  admin.Execute(std::string("delete from ") + kDatabase + ".pu_data");
  admin.Execute(std::string("delete from ") + kDatabase + ".control_log");
  SpoolKeeper spool;
  if (!spool.Open(NewSpoolFile()).ok()) return;
  spool.SetMaxDays(0);
  KeepMinutes(spool, Day(1), minutes, nullptr);
  KeepJournal(spool, Day(1), journalRows, 10, nullptr);
  const int64_t rows = spool.Waiting().rows;

  SqlStatementQueue statements;
  SqlSelectQueue selects;
  std::atomic<bool> closing{false};
  RetentionCheck retention(Now());
  std::atomic<int64_t> endedRows{0};
  std::atomic<double> endedMs{0};
  const auto policy = [] { return RetentionPolicy{false, 240}; };
  DatabaseThread thread({statements, selects, work, closing, retention, policy, nullptr, &spool});
  const auto start = Clock::now();
  spool.SetReplayEnded([&](int64_t n) {
    endedRows = n;
    endedMs = MsSince(start);
  });
  thread.Start();
  std::vector<double> liveWait;
  int serial = 0;
  auto nextLive = Clock::now();
  while (spool.Waiting().rows > 0 && Clock::now() - start < 600s) {
    if (Clock::now() >= nextLive) {
      nextLive += 980ms;
      const auto queued = Clock::now();
      statements.QueueStatement("update last_state set RecMoment=Now(), PLS=" +
                                SqlFloat(1.25 + 0.001 * (serial++ % 1000)));
      while (statements.Count() > 0 && Clock::now() - queued < 10s) {
        std::this_thread::sleep_for(1ms);
      }
      liveWait.push_back(MsSince(queued));
    }
    std::this_thread::sleep_for(5ms);
  }
  const double ms = MsSince(start);
  thread.Stop();
  std::printf(
      "paced_writeback rows %lld seconds %.2f rows_per_s %.1f live_statements %zu "
      "replay_ended_heard %lld after %.2f s\n",
      static_cast<long long>(rows), ms / 1000, rows / (ms / 1000), liveWait.size(),
      static_cast<long long>(endedRows.load()), endedMs.load() / 1000);
  std::printf("%s\n",
              bench::FormatStats("live_statement_wait_ms", bench::Summarize(liveWait)).c_str());
  std::printf("(the pacing allows %d per %lld ms: %.0f rows per second at most)\n",
              kStatementsPerTick, static_cast<long long>(kStatementInterval.count()),
              kStatementsPerTick * 1000.0 / kStatementInterval.count());
}

// 3. The history's cycle with the spool behind the queue.
void Bench::CycleCost() {
  std::printf("\n== history cycle, %d cycles a second apart, %d signals\n", cycles,
              signals.SignalCount());
  struct Mode {
    const char* name;
    bool keeping;
    bool serverAway;
  };
  const Mode modes[] = {
      {"spool_off_connected", false, false},
      {"spool_on_connected", true, false},
      {"spool_on_server_away", true, true},
  };
  int day = 2;
  for (const Mode& mode : modes) {
    SpoolKeeper spool;
    if (!spool.Open(NewSpoolFile()).ok()) return;
    CountingKeeper counting(spool);
    SqlStatementQueue statements;
    SqlSelectQueue selects;
    std::atomic<bool> closing{false};
    RetentionCheck retention(Now());
    const RetentionPolicy policy{false, 240};
    if (mode.keeping) statements.SetKeeping(&counting, [this] { return work.Down(); });
    if (mode.serverAway) {
      work.Disconnect();
      work.Want();
    } else if (!work.Connected()) {
      work.Connect();
    }
    MinuteHistory history;
    ControlState control;
    HistoryOptions options;
    options.serverUp = !mode.serverAway;  // as the control loop reads it at the cycle's start
    std::vector<double> all;
    std::vector<double> minuteEnds;  // the cycles that begin a minute
    const DateTime base = Day(day++);
    for (int c = 0; c < cycles; ++c) {
      const DateTime now = Seconds(base, c);
      control.ModuleLastOk[kModuleV120] = now;
      control.ModuleLastOk[kModuleBk003] = now;
      SetValues(c);
      const auto start = Clock::now();
      history.Update_PAF_record(signals, control, options, selects, statements, now);
      const double ms = MsSince(start);
      all.push_back(ms);
      if (c % 60 == 0) minuteEnds.push_back(ms);
      // The queue is served between cycles, untimed, as the database thread would.
      if (!mode.serverAway && statements.Count() > 50) {
        TimerMySQL_workTimer(statements, work, closing, retention, policy, kUnpaced);
      }
    }
    if (!mode.serverAway) {
      TimerMySQL_workTimer(statements, work, closing, retention, policy, kUnpaced);
    }
    std::printf("%s keeper_calls %lld spool_rows %lld\n", mode.name,
                static_cast<long long>(counting.calls.load()),
                static_cast<long long>(spool.Waiting().rows));
    std::printf("  %s\n", bench::FormatStats("cycle_ms", bench::Summarize(all)).c_str());
    std::printf("  %s\n",
                bench::FormatStats("minute_start_cycle_ms", bench::Summarize(minuteEnds)).c_str());
    statements.SetKeeping(nullptr, nullptr);
  }
  if (!work.Connected()) work.Connect();

  std::printf("\n== one synced put, 90-signal minute rows and journal rows\n");
  SpoolKeeper spool;
  if (!spool.Open(NewSpoolFile()).ok()) return;
  std::vector<double> minuteMs;
  std::vector<double> journalMs;
  KeepMinutes(spool, Day(day), 300, &minuteMs);
  KeepJournal(spool, Day(day), 300, 1, &journalMs);
  std::printf("%s\n", bench::FormatStats("keep_minute_ms", bench::Summarize(minuteMs)).c_str());
  std::printf("%s\n", bench::FormatStats("keep_journal_ms", bench::Summarize(journalMs)).c_str());
}

std::string FilesystemOf(const std::filesystem::path& path) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return "unknown";
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:
      return "ext2/3/4";
    case 0x01021994:
      return "tmpfs";
    case 0x58465342:
      return "xfs";
    case 0x9123683E:
      return "btrfs";
    case 0x794c7630:
      return "overlayfs";
    default: {
      char hex[32];
      std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(fs.f_type));
      return hex;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Bench bench;
  std::string folder;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--socket") {
      bench.socket = argv[i + 1];
    } else if (arg == "--folder") {
      folder = argv[i + 1];
    } else if (arg == "--minutes") {
      bench.minutes = std::atoi(argv[i + 1]);
    } else if (arg == "--cycles") {
      bench.cycles = std::atoi(argv[i + 1]);
    }
  }
  if (bench.socket.empty() || bench.minutes <= 0 || bench.cycles <= 0) {
    std::fprintf(stderr,
                 "usage: bench_spool_replay --socket SOCK [--folder DIR] [--minutes N] "
                 "[--cycles N]\n");
    return 2;
  }
  bool ownFolder = false;
  if (folder.empty()) {
    char pattern[] = "/tmp/kalvix-spool-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    folder = pattern;
    ownFolder = true;
  }
  std::filesystem::create_directories(folder);
  bench.folder = folder;
  std::printf("spool folder %s (%s)\n", folder.c_str(), FilesystemOf(folder).c_str());
  if (!bench.Prepare()) return 1;
  std::printf("signals %d\n\n", bench.signals.SignalCount());
  bench.WriteBackRate();
  bench.PacedWriteBack();
  bench.CycleCost();
  bench.Drop();
  if (ownFolder) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  return 0;
}
