#include "app/service_state.h"

#include <cstdlib>
#include <string>

#include "acquisition/control_loop.h"
#include "app/load_config.h"
#include "journal/event_log.h"

namespace kalvix {
namespace {

// A history "minute" of fewer seconds, for tests that must see many minutes quickly; only
// divisors of 60 count, anything else keeps the minute.
int HistoryMinuteSeconds() {
  const char* text = std::getenv("KALVIX_TEST_MINUTE_SECONDS");
  return text == nullptr ? 60 : std::atoi(text);
}

}  // namespace

ServiceState::ServiceState(WorkingPaths workingPaths)
    : paths(std::move(workingPaths)),
      ProgramStartTime(Now()),
      log(paths.logDir),
      db(
          &control.StopRequest, ProgramStartTime,
          [this] {
            const Settings settings = SettingsSnapshot();
            return RetentionPolicy{settings.AutoCleanFlag, settings.DatabaseSize};
          },
          [this](const DbStatus&) { CountReconnectFailure(control); }),
      history(HistoryMinuteSeconds()),
      ModbusLink(paths.workDir),
      acquisition{control,    signals,        setpoints,
                  constants,  pollerCounters, busLedgers,
                  ModbusLink, VisionLink,     workers,
                  db.user,    db.work,        db.statements,
                  db.selects, db.journal,     stateRecord,
                  history,    paths.workDir,  [this] { return SettingsSnapshot(); }} {
  log.EnsureLogDir();
  setpoints.LastTaskTime = ProgramStartTime;
  // After every session the user connection opens, at start or after a lost one.
  db.user.SetAfterConnect([this] { SQLConnectionUserAfterConnect(*this); });
  db.spool.SetReplayEnded([this](int64_t rows) {
    const std::string text = "=== " + std::to_string(rows) +
                             " строк из буфера дописано после восстановления связи с MySQL ===";
    PostEvent(text);
    AddJournalRecord(*this, text, kServiceSource);
  });
  // A stop request wakes every wait on the two links' ports at once; the BK-003 poller gives
  // its own port the same descriptor.
  ModbusLink.Handle.WatchStop(control.StopRequest.PollFd());
  VisionLink.WatchStop(control.StopRequest.PollFd());
  db.thread.Start();
}

ServiceState::~ServiceState() {
  // The stop wakes every worker and interrupts the links' waits first; then `workers`, the
  // first member to go, joins every thread before any state they use is destroyed. The
  // database thread is stopped here too: a statement it gives up reports to the history,
  // which goes before the queues do.
  control.StopRequest = true;
  db.thread.Stop();
}

bool AddJournalRecord(ServiceState& s, std::string_view message, std::string_view source) {
  return AddJournalRecord(s.db.journal, s.db.statements, message, source);
}

void UseSpool(ServiceState& s, const Settings& settings) {
  if (!settings.SpoolEnabled) {
    s.db.statements.SetKeeping(nullptr, nullptr);
    s.db.spool.Close();
    return;
  }
  s.db.spool.SetMaxDays(settings.SpoolDays);
  s.db.spool.Open((s.paths.workDir / kSpoolFileName).string());
  // Kept even when the file cannot be opened now: every row tries it again, and the minute's
  // line says what is lost meanwhile.
  s.db.statements.SetKeeping(&s.db.spool, [&work = s.db.work] { return work.Down(); });
}

}  // namespace kalvix
