// bench_startup: from the start of the service's process to its first cycles.
//
// Each run clears the journal and sets the current-state row's time to a mark in the past,
// starts the service (the command after "--", normally kalvixd --config INI with
// [MySQL] StartTime=0 and AutoStart=1), and reads the database every 5 ms until
//  - the control thread's start row (">>> Запуск потока управления. <<<") is in the journal:
//    the start-up ticks are done and the thread has connected, and
//  - `last_state` carries a time after the mark: the first cycle that ran every stage has
//    written its state row.
// Then it ends the service with SIGTERM, waits for it, and starts the next run.
//
//   bench_startup --socket SOCK [--runs N] -- COMMAND [ARGS...]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/sample_stats.h"
#include "persistence/db_connection.h"
#include "persistence/db_value.h"

extern char** environ;

namespace {

using namespace kalvix;
using Clock = std::chrono::steady_clock;

constexpr auto kReadInterval = std::chrono::milliseconds(5);
constexpr auto kRunBound = std::chrono::seconds(60);
constexpr const char* kMark = "2000-01-01 00:00:00";

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool Count(DbConnection& db, const std::string& sql) {
  DbValue value;
  double number = 0;
  return db.QueryValue(sql, "N", value).ok() && DbToNumber(value, number) && number > 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket;
  int runs = 5;
  int i = 1;
  for (; i < argc && std::string(argv[i]) != "--"; i += 2) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) break;
    if (arg == "--socket") socket = argv[i + 1];
    else if (arg == "--runs") runs = std::atoi(argv[i + 1]);
  }
  if (socket.empty() || runs < 1 || i + 1 >= argc) {
    std::cerr << "usage: bench_startup --socket SOCK [--runs N] -- COMMAND [ARGS...]\n";
    return 2;
  }
  char** command = argv + i + 1;

  DbConnection db;
  SetConnectionParam(db, "HostName", socket);
  SetConnectionParam(db, "Database", "kalvix");
  if (!db.Connect().ok()) {
    std::cerr << "bench_startup: cannot connect to " << socket << "\n";
    return 1;
  }
  std::vector<double> toThread;
  std::vector<double> toState;
  for (int run = 0; run < runs; ++run) {
    if (!db.Execute("delete from control_log").ok() ||
        !db.Execute(std::string("update last_state set RecMoment='") + kMark + "'").ok()) {
      std::cerr << "bench_startup: cannot prepare the tables\n";
      return 1;
    }
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, command[0], nullptr, nullptr, command, environ) != 0) {
      std::cerr << "bench_startup: cannot start " << command[0] << "\n";
      return 1;
    }
    double thread = -1;
    double state = -1;
    while (state < 0 && Clock::now() - start < kRunBound) {
      std::this_thread::sleep_for(kReadInterval);
      if (thread < 0 &&
          Count(db, "select count(*) as N from control_log where MessageText like '>>> %'")) {
        thread = MsSince(start);
      }
      if (Count(db, std::string("select count(*) as N from last_state where RecMoment > '") +
                        kMark + "'")) {
        state = MsSince(start);
      }
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (thread < 0 || state < 0) {
      std::cerr << "bench_startup: run " << run + 1 << " did not reach its first cycle\n";
      return 1;
    }
    toThread.push_back(thread);
    toState.push_back(state);
  }
  std::cout << bench::FormatStats("to_control_thread_ms", bench::Summarize(toThread)) << "\n";
  std::cout << bench::FormatStats("to_first_state_row_ms", bench::Summarize(toState)) << "\n";
  return 0;
}
