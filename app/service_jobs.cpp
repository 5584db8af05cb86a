#include "app/service_jobs.h"

#include <string>

#include "app/config_file.h"
#include "journal/event_log.h"
#include "persistence/server_wait.h"

namespace kalvix {
namespace {

constexpr auto kStatusInterval = std::chrono::milliseconds(250);
constexpr auto kLogInterval = std::chrono::milliseconds(250);
constexpr auto kControlExitBound = std::chrono::milliseconds(3000);
// What the end of the run gives the server for the rows still queued (its own journal row
// among them). A healthy server takes a full queue (101 statements at the pace of twelve per
// 100 ms) in under a second; one that does not answer costs the rows, not the stop.
constexpr auto kServerBound = std::chrono::milliseconds(1500);
constexpr auto kSpoolReportInterval = std::chrono::minutes(1);

// Has what waits in the statement queue written by `deadline` on the work connection
// (reopened when the control thread has closed it, where the run has a connection). The
// database thread writes it at its usual pace (101 statements take under a second); only if
// that thread has ended is it written here.
void FlushStatements(ServiceState& s, std::chrono::steady_clock::time_point deadline) {
  while (s.db.statements.Count() > 0 && std::chrono::steady_clock::now() < deadline) {
    if (!s.db.work.Connected()) {
      // A run that never reached the server (the settings load's attempts failed or were cut
      // short) has no connection to write on: trying now would only spend the bound.
      if (!s.db.user.Connected() && !s.db.work.Wanted()) return;
      s.db.work.SetParams(s.db.user.Params());
      if (!s.db.work.Connect().ok()) return;  // the new session wakes the database thread
    }
    if (s.db.thread.Running()) {
      if (s.db.thread.WaitStatementsDrained(deadline)) return;
      continue;  // the connection went down under it: open it again
    }
    if (!s.db.statements.TryEnterServer()) return;
    const int done = s.db.statements.Serve(s.db.work, kStatementsPerTick);
    s.db.statements.LeaveServer();
    if (done == 0) return;
  }
}

}  // namespace

std::vector<PeriodicJob> ServicePeriodicJobs(ServiceState& s, std::function<void()> update) {
  return {
      {kTimerUpdate, kStatusInterval, std::move(update)},
      {kTimerGetLog, kLogInterval, [&s] { TimerGetLogJob(s); }},
      {kTimerSpool, kSpoolReportInterval, [&s] { s.db.spool.ReportMinute(); }},
  };
}

void TimerGetLogJob(ServiceState& s) {
  TimerGetLogTimer(EventQueue(), s.log, s.SettingsSnapshot().SaveLogFlag);
}

void ShutdownService(ServiceState& s, ShutdownReason reason) {
  const auto serverDeadline = std::chrono::steady_clock::now() + kServerBound;
  // From the deadline on no thread waits on the server: neither the database thread's
  // statement nor this thread's reconnection below, so a server that accepts connections and
  // never answers cannot hold the end of the run.
  s.db.giveUp.Set(serverDeadline);
  const ServerWaitInterrupts interrupts({s.db.giveUp.PollFd()});
  s.control.StopRequest = true;
  if (reason == ShutdownReason::kOperator) {
    AddJournalRecord(s, "*** Завершение работы по команде оператора ***", "");
    PostEvent("*** Завершение работы по команде оператора ***");
  } else {
    AddJournalRecord(s, "...Завершение работы перед выгрузкой Windows...", "");
    PostEvent("--> Завершение работы перед выгрузкой Windows <---");
  }
  // The control thread journals its stop on the way out; wait for it, then write the rows
  // before Closing stops the database thread for good.
  s.control.ControlActive.WaitClearFor(kControlExitBound);
  FlushStatements(s, serverDeadline);

  s.db.closing = true;
  s.db.thread.Stop();
  if (const size_t unwritten = s.db.statements.Count(); unwritten > 0) {
    PostEvent("*** MySQL сервер не принял записи до завершения работы, не записано: " +
              std::to_string(unwritten) + " ***");
  }
  // What the server could not take before the end waits in the spool for the next start.
  s.db.statements.GiveUpKept();
  // Ended before the start-up read the file (a stop in its first second): what memory holds
  // are the defaults, and writing them back would wipe the site's settings.
  if (s.startup.SettingsRead) {
    SaveConfig(s.paths.iniFileName, s.SettingsSnapshot(), s.cipher);
  } else {
    PostEvent("--- Файл настроек не сохранен: он еще не был прочитан ---");
  }
  s.db.user.Disconnect();
  s.db.work.Disconnect();
  s.workers.JoinAll(kControlExitBound);
  const bool saveLog = s.SettingsSnapshot().SaveLogFlag;
  while (TimerGetLogTimer(EventQueue(), s.log, saveLog) > 0) {
  }
}

}  // namespace kalvix
