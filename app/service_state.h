// ServiceState: the one owner of the reception service's state. The window (or the headless
// main loop) creates it, the control thread and the pollers receive its `acquisition` (the
// references to what they use), and it outlives them all: its destructor joins the workers
// before any member goes.
//
// Members are grouped by subsystem. Which thread may touch what:
//  - settings: private behind their lock; every thread takes a copy with SettingsSnapshot()
//    and changes go through ApplySettings (the pages see only PageServices);
//  - control, setpoints, constants, signals' value sets: atomics (see their headers);
//  - signals' descriptors: replaced only by the window thread while no acquisition runs;
//  - db: the connections and queues guard themselves; the database thread, started by the
//    constructor and joined by ShutdownService or the destructor, serves the work connection;
//  - startup: window thread only.
#ifndef KALVIX_APP_SERVICE_STATE_H_
#define KALVIX_APP_SERVICE_STATE_H_

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "acquisition/acquisition.h"
#include "app/page_services.h"
#include "app/password_cipher.h"
#include "app/working_paths.h"
#include "devices/bus_ledger.h"
#include "devices/modbus_io.h"
#include "devices/vision_link.h"
#include "journal/daily_log.h"
#include "monitor/metrics_endpoint.h"
#include "persistence/database_thread.h"
#include "persistence/db_connection.h"
#include "persistence/journal_record.h"
#include "persistence/minute_history.h"
#include "persistence/plant_constants.h"
#include "persistence/retention.h"
#include "persistence/server_wait.h"
#include "persistence/spool_keeper.h"
#include "persistence/sql_select_queue.h"
#include "persistence/sql_statement_queue.h"
#include "persistence/state_record.h"
#include "plant/control_state.h"
#include "plant/poller_counters.h"
#include "plant/setpoints.h"
#include "plant/settings.h"
#include "plant/signal_set.h"
#include "plant/worker_threads.h"

namespace kalvix {

struct DatabaseState {
  DatabaseState(const StopSignal* stopRequest, DateTime started,
                std::function<RetentionPolicy()> retentionPolicy,
                std::function<void(const DbStatus&)> reopenFailed)
      : selects(stopRequest),
        retention(started),
        journal(started),
        thread({statements, selects, work, closing, retention, std::move(retentionPolicy),
                std::move(reopenFailed), &spool, giveUp.PollFd()}) {}

  DbConnection user;  // the window thread's own queries
  DbConnection work;  // the control thread's SQL, run by the database thread
  SqlStatementQueue statements;
  SqlSelectQueue selects;
  RetentionCheck retention;  // the database thread's
  JournalNumbering journal;
  SpoolKeeper spool;                 // rows kept while the server is away; see UseSpool
  std::atomic<bool> closing{false};  // the program is ending: the database thread stops
  // Set by the shutdown: from that moment no thread waits on the server any longer (the
  // database thread's statement, the shutdown's own reconnection).
  ServerDeadline giveUp;
  // Last, so it is stopped and joined before anything it serves goes.
  DatabaseThread thread;
};

struct StartupState {
  int StartupTick = 0;
  bool StartupBusy = false;
  bool MetricsTried = false;  // the metrics endpoint is started at most once per run
  // The settings file has been read in this run; until then the settings in memory are the
  // defaults, which the shutdown must not write over the site's file.
  bool SettingsRead = false;
};

class ServiceState final : public PageServices {
 public:
  explicit ServiceState(WorkingPaths workingPaths);
  ~ServiceState();  // stops the workers (waking their waits) and joins them
  ServiceState(const ServiceState&) = delete;
  ServiceState& operator=(const ServiceState&) = delete;

  Settings SettingsSnapshot() const override {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return settings_;
  }
  bool ApplySettings(const std::function<bool(Settings&)>& change) override {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return change(settings_);
  }
  // Replaces the settings whole (the settings file was read).
  void ReplaceSettings(const Settings& settings) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    settings_ = settings;
  }
  DbConnection& UserConnection() override { return db.user; }

  const WorkingPaths paths;
  const DateTime ProgramStartTime;

 private:
  // Before the members whose threads read them (the database thread in `db`, the workers), so
  // they are built before those threads start and go only after they have been joined.
  mutable std::mutex settingsMutex_;
  Settings settings_;  // guarded by settingsMutex_

 public:
  PasswordCipher cipher;
  DailyLog log;

  ControlState control;
  SignalSet signals;
  Setpoints setpoints;
  PlantConstants constants;
  DatabaseState db;
  StateRecord stateRecord;
  MinuteHistory history;

  TModBUS ModbusLink;
  TVisionLink VisionLink;
  PollerCounters pollerCounters;
  BusLedgers busLedgers;  // per module: round-trips and failures by cause

  StartupState startup;
  // What the control thread and the pollers work on: references to the members above.
  const Acquisition acquisition;
  // The metrics endpoint (app/metrics_start.h), null while off; it reads the members above,
  // and goes before them.
  std::unique_ptr<MetricsEndpoint> metrics;
  // Last, so it goes first: it joins every worker before anything they use is destroyed.
  WorkerThreads workers;
};

// Queues one journal row through the service's numbering and statement queue.
bool AddJournalRecord(ServiceState& s, std::string_view message, std::string_view source);

// The spool's file in the working folder.
inline constexpr const char* kSpoolFileName = "kalvix-spool.sqlite3";

// Opens the spool and has the statement queue keep its rows there when the settings say so
// (SpoolEnabled, SpoolDays); otherwise closes it, and rows the server cannot take are lost as
// designed. Before the user connection opens: its priming looks at the spool's newest minute.
void UseSpool(ServiceState& s, const Settings& settings);

}  // namespace kalvix

#endif  // KALVIX_APP_SERVICE_STATE_H_
