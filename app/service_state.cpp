#include "app/service_state.h"

#include "app/load_config.h"

namespace kalvix {

ServiceState::ServiceState(WorkingPaths workingPaths)
    : paths(std::move(workingPaths)),
      ProgramStartTime(Now()),
      log(paths.logDir),
      db(&control.StopRequest, ProgramStartTime,
         [this] {
           const Settings settings = SettingsSnapshot();
           return RetentionPolicy{settings.AutoCleanFlag, settings.DatabaseSize};
         }),
      ModbusLink(paths.workDir),
      acquisition{control,      signals,   setpoints,     constants,  pollerCounters,
                  ModbusLink,   VisionLink, workers,      db.user,    db.work,
                  db.statements, db.selects, db.journal,  stateRecord, history,
                  paths.workDir, [this] { return SettingsSnapshot(); }} {
  log.EnsureLogDir();
  setpoints.LastTaskTime = ProgramStartTime;
  // After every session the user connection opens, at start or after a lost one.
  db.user.SetAfterConnect([this] { SQLConnectionUserAfterConnect(*this); });
  // A stop request wakes every wait on the two links' ports at once; the BK-003 poller gives
  // its own port the same descriptor.
  ModbusLink.Handle.WatchStop(control.StopRequest.PollFd());
  VisionLink.WatchStop(control.StopRequest.PollFd());
  db.thread.Start();
}

ServiceState::~ServiceState() {
  // The stop wakes every worker and interrupts the links' waits first; then `workers`, the
  // first member to go, joins every thread before any state they use is destroyed.
  control.StopRequest = true;
}

bool AddJournalRecord(ServiceState& s, std::string_view message, std::string_view source) {
  return AddJournalRecord(s.db.journal, s.db.statements, message, source);
}

}  // namespace kalvix
