// Acquisition: the pieces of the service's state that the control thread and the pollers
// work on, as references. The state owner (app/ServiceState) holds every piece and one
// Acquisition that points at them; the pieces outlive every thread started through it.
//
// Threads: each piece guards itself or is atomic (see its header); the references never
// change after construction, so any thread may read them.
#ifndef KALVIX_ACQUISITION_ACQUISITION_H_
#define KALVIX_ACQUISITION_ACQUISITION_H_

#include <filesystem>
#include <functional>

#include "devices/bus_ledger.h"
#include "devices/modbus_io.h"
#include "devices/vision_link.h"
#include "persistence/db_connection.h"
#include "persistence/journal_record.h"
#include "persistence/minute_history.h"
#include "persistence/plant_constants.h"
#include "persistence/sql_interfaces.h"
#include "persistence/state_record.h"
#include "plant/control_state.h"
#include "plant/poller_counters.h"
#include "plant/setpoints.h"
#include "plant/settings.h"
#include "plant/signal_set.h"
#include "plant/worker_threads.h"

namespace kalvix {

struct Acquisition {
  ControlState& control;
  SignalSet& signals;
  Setpoints& setpoints;
  PlantConstants& constants;
  PollerCounters& pollerCounters;
  BusLedgers& busLedgers;  // the pollers book every exchange of their modules here
  TModBUS& ModbusLink;
  TVisionLink& VisionLink;
  WorkerThreads& workers;

  DbConnection& user;  // the window thread's; its parameters are copied to the work connection
  DbConnection& work;
  // The work connection's queues in service; a test of the control loop gives its own.
  StatementSink& statements;
  SelectSource& selects;
  JournalNumbering& journal;
  StateRecord& stateRecord;
  MinuteHistory& history;

  std::filesystem::path workDir;          // the per-port time-out files
  std::function<Settings()> settings;     // a copy of the current settings
};

// Queues one journal row through the acquisition's numbering and statement queue.
inline bool AddJournalRecord(const Acquisition& a, std::string_view message,
                             std::string_view source) {
  return AddJournalRecord(a.journal, a.statements, message, source);
}

}  // namespace kalvix

#endif  // KALVIX_ACQUISITION_ACQUISITION_H_
