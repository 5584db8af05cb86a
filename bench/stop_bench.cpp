// bench_stop: from SIGTERM to the end of the service's process, while the database server
// answers and while it does not.
//
// Three situations, each started afresh `runs` times:
//  - healthy: the service runs its cycles against the server;
//  - silent server, settings load: [MySQL] Comp names a loopback port that accepts connections
//    and never answers, and the signal comes 2 s after the start, in the first of the settings
//    load's connection attempts (each would wait 5 s for a greeting);
//  - frozen server, statement outstanding: the service runs its cycles, then the server is
//    stopped with SIGSTOP, and the signal comes 1.5 s later, a cycle's statement on the server.
// The silent port's settings file is a copy of INI beside it (INI.silent), so the service's
// lines and folders stay those of INI.
//
//   bench_stop --ini INI --socket SOCK --server-pid PID [--runs N] -- PROGRAM
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/sample_stats.h"
#include "persistence/db_connection.h"
#include "persistence/db_value.h"
#include "testing/tcp_listeners.h"
#include "util/profile_file.h"

extern char** environ;

namespace {

using namespace kalvix;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kEndBound = 120s;  // a stop that takes longer is reported as such
constexpr const char* kMark = "2000-01-01 00:00:00";

enum class Situation { kHealthy, kSilentSettingsLoad, kFrozenStatement };

struct Options {
  std::string ini;
  std::string socket;
  pid_t serverPid = 0;
  int runs = 3;
  std::string program;
};

pid_t Spawn(const std::string& program, const std::string& ini) {
  std::string option = "--config";
  std::string config = ini;
  std::string name = program;
  char* argv[] = {name.data(), option.data(), config.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  return pid;
}

// Waits for the process to end; its time from `from` in ms, or -1 past the bound (then killed).
double TimeToEnd(pid_t pid, Clock::time_point from) {
  int status = 0;
  while (Clock::now() - from < kEndBound) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
    }
    std::this_thread::sleep_for(1ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

bool StateRowAfterMark(DbConnection& db) {
  DbValue value;
  double n = 0;
  return db.QueryValue(std::string("select count(*) as N from last_state where RecMoment > '") +
                           kMark + "'",
                       "N", value)
             .ok() &&
         DbToNumber(value, n) && n > 0;
}

// One stop; its time in ms, or -1 when the service did not reach the situation or end.
double OneStop(const Options& o, Situation situation, const std::string& silentIni,
               DbConnection& db) {
  if (situation != Situation::kSilentSettingsLoad &&
      !db.Execute(std::string("update last_state set RecMoment='") + kMark + "'").ok()) {
    return -1;
  }
  const pid_t pid =
      Spawn(o.program, situation == Situation::kSilentSettingsLoad ? silentIni : o.ini);
  if (pid < 0) return -1;
  bool ready = true;
  if (situation == Situation::kSilentSettingsLoad) {
    std::this_thread::sleep_for(2s);
  } else {
    const auto until = Clock::now() + 30s;
    while (!StateRowAfterMark(db) && Clock::now() < until) std::this_thread::sleep_for(20ms);
    ready = StateRowAfterMark(db);
  }
  bool frozen = false;
  if (ready && situation == Situation::kFrozenStatement) {
    db.Disconnect();
    frozen = ::kill(o.serverPid, SIGSTOP) == 0;
    std::this_thread::sleep_for(1500ms);
  }
  const auto signalled = Clock::now();
  ::kill(pid, SIGTERM);
  const double ms = TimeToEnd(pid, signalled);
  if (frozen) ::kill(o.serverPid, SIGCONT);
  if (situation == Situation::kFrozenStatement) db.Connect();
  return ready ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int i = 1;
  for (; i < argc && std::string(argv[i]) != "--"; i += 2) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) break;
    if (arg == "--ini") o.ini = argv[i + 1];
    else if (arg == "--socket") o.socket = argv[i + 1];
    else if (arg == "--server-pid") o.serverPid = static_cast<pid_t>(std::atol(argv[i + 1]));
    else if (arg == "--runs") o.runs = std::atoi(argv[i + 1]);
  }
  if (i + 1 < argc) o.program = argv[i + 1];
  if (o.ini.empty() || o.socket.empty() || o.serverPid <= 0 || o.runs < 1 || o.program.empty()) {
    std::cerr << "usage: bench_stop --ini INI --socket SOCK --server-pid PID [--runs N] -- "
                 "PROGRAM\n";
    return 2;
  }

  SilentListener silent;
  const std::string silentIni = o.ini + ".silent";
  std::filesystem::copy_file(o.ini, silentIni, std::filesystem::copy_options::overwrite_existing);
  ProfileFile settings{std::filesystem::path(silentIni)};
  if (silent.Port() == 0 || !settings.Load()) {
    std::cerr << "bench_stop: cannot prepare the silent server's settings\n";
    return 1;
  }
  settings.WriteString("MySQL", "Comp", silent.Entry());
  settings.Save();

  DbConnection db;
  SetConnectionParam(db, "HostName", o.socket);
  SetConnectionParam(db, "Database", "kalvix");
  if (!db.Connect().ok()) {
    std::cerr << "bench_stop: cannot connect to " << o.socket << "\n";
    return 1;
  }
  const std::pair<Situation, const char*> situations[] = {
      {Situation::kHealthy, "stop_healthy_ms"},
      {Situation::kSilentSettingsLoad, "stop_silent_server_settings_load_ms"},
      {Situation::kFrozenStatement, "stop_frozen_server_statement_ms"},
  };
  int failed = 0;
  for (const auto& [situation, name] : situations) {
    std::vector<double> times;
    for (int run = 0; run < o.runs; ++run) {
      const double ms = OneStop(o, situation, silentIni, db);
      if (ms < 0) {
        std::cerr << "bench_stop: " << name << " run " << run + 1 << " failed\n";
        ++failed;
      } else {
        times.push_back(ms);
      }
    }
    std::cout << bench::FormatStats(name, bench::Summarize(times)) << "\n";
  }
  return failed == 0 ? 0 : 1;
}
