#include "app/service_state.h"

#include <chrono>

#include "app/load_config.h"

namespace kalvix {

ServiceState::ServiceState(WorkingPaths workingPaths)
    : paths(std::move(workingPaths)),
      ProgramStartTime(Now()),
      log(paths.logDir),
      db(&control.StopRequest, ProgramStartTime),
      ModbusLink(paths.workDir) {
  log.EnsureLogDir();
  setpoints.LastTaskTime = ProgramStartTime;
  // After every session the user connection opens, at start or after a lost one.
  db.user.SetAfterConnect([this] { SQLConnectionUserAfterConnect(*this); });
}

ServiceState::~ServiceState() {
  control.StopRequest = true;
  workers.JoinAll(std::chrono::milliseconds(3000));
}

bool AddJournalRecord(ServiceState& s, std::string_view message, std::string_view source) {
  return AddJournalRecord(s.db.journal, s.db.statements, message, source);
}

}  // namespace kalvix
