#include "app/load_config.h"

#include <optional>
#include <thread>

#include "acquisition/signal_loader.h"
#include "app/config_file.h"
#include "journal/event_log.h"

namespace kalvix {
namespace {

void Pause(const LoadConfigTiming& timing, std::chrono::milliseconds length) {
  if (timing.pause) {
    timing.pause(length);
  } else {
    std::this_thread::sleep_for(length);
  }
}

}  // namespace

void SQLConnectionUserAfterConnect(ServiceState& s) {
  const DateTime now = Now();
  // The current minute is this run's to write, kept or not: its counters start from the
  // minute before it, also when the former run kept the current one (stopped within it).
  const std::optional<KeptMinute> kept =
      s.db.spool.NewestMinute(MinuteKey(now, s.history.MinuteSeconds()));
  const DbStatus status =
      s.history.SQLConnectionUserAfterConnect(s.db.user, now, kept ? &*kept : nullptr);
  if (!status.ok() && status.kind != DbErrorKind::kInterrupted) {
    PostEvent("*** Счетчики минутной истории не восстановлены: " + status.Describe() + " ***");
  }
}

bool WaitForAcquisitionToEnd(ServiceState& s, std::chrono::milliseconds bound) {
  const ControlState& c = s.control;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  // The control thread first: while it runs it may still launch a poller.
  bool left = true;
  for (const RunningFlag* flag : {&c.ControlActive, &c.JumoActive, &c.V120Active, &c.BkActive}) {
    if (!flag->WaitClearUntil(deadline)) left = false;
  }
  return left;
}

void LoadConfig(ServiceState& s, const LoadConfigTiming& timing) {
  Settings settings = s.SettingsSnapshot();
  const bool read = LoadConfigFile(s.paths.iniFileName, settings);
  s.startup.SettingsRead = true;
  if (!read) {
    // The settings read before the failure are kept; nothing after it runs.
    s.ReplaceSettings(settings);
    return;
  }
  UseSpool(s, settings);
  SetConnectionParam(s.db.user, "HostName", settings.Comp);
  // Without the key the connection keeps its own database (kalvix), exactly as before the
  // key existed. The work connection copies these parameters when the control thread starts.
  if (!settings.Database.empty()) SetConnectionParam(s.db.user, "Database", settings.Database);
  SetConnectionParam(s.db.user, "User_Name", settings.Login);
  SetConnectionParam(s.db.user, "Password", settings.Password);
  SetConnectionParam(s.db.user, "SslMode", settings.SslMode);
  SetConnectionParam(s.db.user, "SslCa", settings.SslCa);
  SetConnectionParam(s.db.user, "SslCert", settings.SslCert);
  SetConnectionParam(s.db.user, "SslKey", settings.SslKey);
  // Version chose between two client drivers on the old platform; one client library serves
  // every server here, so it is only kept and written back.

  const auto ending = [&timing] { return timing.ending && timing.ending(); };
  for (int attempt = 0; attempt < timing.attempts && !s.db.user.Connected() && !ending();
       ++attempt) {
    DbStatus status;
    // Connect runs the after-connect task too.
    const std::function<void()> connect = [&] { status = s.db.user.Connect(); };
    if (timing.attempt) {
      timing.attempt(connect);
    } else {
      connect();
    }
    if (status.ok()) break;
    if (status.kind == DbErrorKind::kInterrupted || ending()) break;
    Beep();
    if (attempt == 0) PostEvent("*** MySQL: " + status.Describe() + " ***");
    Pause(timing, timing.retryPause);
  }
  if (ending()) {
    s.ReplaceSettings(settings);  // as the file gave them: a cut-off load turns nothing off
    return;
  }
  const bool connected = s.db.user.Connected();
  if (!connected) settings.AutoStart = false;
  s.ReplaceSettings(settings);
  const std::chrono::milliseconds settle =
      settings.SettleMs ? std::chrono::milliseconds(*settings.SettleMs) : timing.settle;
  if (settle.count() > 0) Pause(timing, settle);
  if (ending()) return;

  if (connected) {
    PostEvent("Подключение к MySQL произведено успешно.");
    // The set is replaced whole: pollers of an earlier run must have left their loops.
    if (!WaitForAcquisitionToEnd(s, timing.workersBound)) {
      PostEvent("*** Набор сигналов не перезагружен: потоки приема еще работают ***");
      return;
    }
    const DbStatus status = LoadSignalSet(s.db.user, s.signals);
    if (!status.ok()) {
      if (status.kind == DbErrorKind::kInterrupted) return;  // the program ends
      PostEvent("Ошибка в LoadConfig");
      PostEvent("*** " + status.Describe() + " ***");
      return;
    }
  } else {
    PostEvent("Не могу подключиться к MySQL cерверу.");
  }
  AddJournalRecord(s, "Программа контроля загружена.", "");
}

}  // namespace kalvix
