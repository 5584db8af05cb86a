#include "acquisition/control_thread.h"

#include <chrono>

#include "acquisition/control_vector.h"
#include "acquisition/poller_launch.h"
#include "acquisition/stages.h"
#include "journal/event_log.h"
#include "plant/stop_pause.h"
#include "plant/thread_entry.h"
#include "plant/thread_priority.h"
#include "util/tick_count.h"

namespace kalvix {
namespace {

constexpr int kStartConnectAttempts = 11;
constexpr int kMaxDbFailures = 300;
constexpr double kFreshSeconds = 5.0;
// A link is closed only once its poller has left its loop; a pass ends within this bound.
constexpr auto kPollerExitBound = std::chrono::milliseconds(3000);
// How long the "Стоп" button waits for the control thread.
constexpr auto kStopButtonWait = std::chrono::milliseconds(500);

// One acquisition cycle; false when it failed.
bool RunCycle(const Acquisition& s, const Settings& settings) {
  ControlState& c = s.control;
  c.CycleCounter.fetch_add(1);
  if (!CheckFreshness(s.signals, c, Now())) return false;
  if (!TranslateIn(s.signals, s.constants)) return false;
  if (!s.stateRecord.UpdateStateRecord(s.signals, s.selects, s.statements)) return false;
  if (!CalcWorks(s.signals, s.constants, s.setpoints)) return false;
  PollControlVector(s.setpoints, s.signals, settings.MaxWriteCount, s.selects, s.journal,
                    s.statements);
  const HistoryOptions options{settings.max_dg, settings.old_update_mode};
  return s.history.Update_PAF_record(s.signals, c, options, s.selects, s.statements);
}

// Opens the links; false (after the message) when acquisition cannot run.
bool OpenLinks(const Acquisition& s, const Settings& settings) {
  ControlState& c = s.control;
  if (!s.ModbusLink.Connected.load() && !c.JumoEmulFlag.load()) {
    s.ModbusLink.PortName = settings.ModBUS_PortName;
    if (!s.ModbusLink.Open(settings.ModBUS_PortSpeed)) {
      PostEvent("JUMO: Не могу подключить порт " + settings.ModBUS_PortName);
      return false;
    }
  }
  if (!s.VisionLink.Active()) {
    s.VisionLink.SetPortName(settings.V120_PortName);
    s.VisionLink.SetSpeed(settings.V120_PortSpeed);
    s.VisionLink.SetStatus("");
    s.VisionLink.SetActive(true);
    if (!s.VisionLink.Active() && !c.V120EmulFlag.load()) {
      PostEvent("V120: Не могу подключить порт " + settings.V120_PortName);
      return false;
    }
  }
  return true;
}

// A failed reconnect: false when the loop must end.
bool CountDbFailure(const Acquisition& s) {
  ControlState& c = s.control;
  PostEvent("Не могу подключиться к MySQL серверу.");
  if (c.DbFailCount.load() > kMaxDbFailures) {
    PostEvent("MySQL сервер недоступен.");
    c.DbFailCount.fetch_add(1);
    c.StopRequest = true;
    return false;
  }
  c.DbFailCount.fetch_add(1);
  PauseUnlessStopped(c, 1000);
  return true;
}

void Shutdown(const Acquisition& s) {
  ControlState& c = s.control;
  s.work.Disconnect();
  // StopRequest has woken the pollers (their pauses and their port waits); a link is closed
  // only when its poller no longer uses it.
  c.JumoActive.WaitClearFor(kPollerExitBound);
  s.ModbusLink.Close();
  c.V120Active.WaitClearFor(kPollerExitBound);
  s.VisionLink.SetActive(false);
  AddJournalRecord(s, "<<< Поток управления остановлен. >>>", kServiceSource);
}

}  // namespace

bool CheckFreshness(const SignalSet& signals, const ControlState& control, DateTime now) {
  const int count = signals.SignalCount();
  if (count < 1 || count > kMaxCycleSignals) return false;
  for (Module m : {kModuleJumo1, kModuleJumo2, kModuleV120}) {
    if ((now - control.ModuleLastOk[m].load()) * kSecondsPerDay > kFreshSeconds) return false;
  }
  return true;
}

bool StartControl(const Acquisition& s) {
  if (s.control.ControlActive.load()) return true;
  DbValue probe;
  const DbStatus status = s.user.QueryValue("select count(*) as Rez from pu_data", "Rez", probe);
  if (!status.ok()) {
    // Started by AutoStart nobody looks at the result: without a line here an unattended
    // service would sit idle with no sign of why.
    PostEvent("*** Поток управления не запущен: " + status.Describe() + " ***");
    return false;
  }
  s.control.StopRequest = false;
  s.workers.Start(kThreadNameControl, [&s] {
    RunThreadEntry(s.control.ControlActive, kThreadNameControl, [&s] { RunControl(s); });
  });
  return true;
}

bool StopControl(const Acquisition& s) {
  s.control.StopRequest = true;
  return s.control.ControlActive.WaitClearFor(kStopButtonWait);
}

void ButStartClick(const Acquisition& s) {
  PostEvent("Прием запускается по команде оператора.");
  PostEvent("Запускаем поток приема...");
  StartControl(s);
}

void ButStopClick(const Acquisition& s) {
  PostEvent("Прием прекращается по команде оператора.");
  StopControl(s);
}

void RunControl(const Acquisition& s) {
  ControlState& c = s.control;
  Settings settings = s.settings();

  // Preparation.
  for (int m = 0; m < kModuleCount; ++m) {
    c.ModuleLastOk[m] = 0;
    c.ModuleErrors[m] = 0;
  }
  c.ErrorCounter = 0;
  s.work.SetParams(s.user.Params());
  // A stop ends the attempts: each may take the client's whole connect time-out.
  for (int attempt = 0; attempt < kStartConnectAttempts && !c.StopRequest.load(); ++attempt) {
    if (s.work.Connect().ok()) break;
    PostEvent("*** Поток приема не смог подключиться к серверу! ***");
  }
  AddJournalRecord(s, ">>> Запуск потока управления. <<<", kServiceSource);
  SeedSetupConsts(s.selects, s.statements, s.constants);

  // Links.
  if (!OpenLinks(s, settings)) return;

  // Launch.
  RaiseThreadPriority(ThreadPriority::kTimeCritical);
  c.ThreadStartTime = Now();
  s.signals.ClearSignalValues();
  s.signals.ResetAverages(settings.AverageLen);
  c.CycleCounter = 0;
  LaunchPollers(s, settings);

  // The loop.
  while (!c.StopRequest.load()) {
    const uint32_t t0 = TickCount();
    c.CycleStartNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
    if (!s.work.Connected()) {
      if (s.work.Connect().ok()) {
        s.signals.ResetAverages(settings.AverageLen);
      } else if (!CountDbFailure(s)) {
        break;
      }
      continue;
    }
    settings = s.settings();  // a changed setting takes effect at its next use
    try {
      if (!RunCycle(s, settings)) c.ErrorCounter.fetch_add(1);
    } catch (...) {
      Beep();
    }
    PauseUnlessStopped(c, 50);
    WaitCycleEnd(c, t0, kCyclePeriodMs);
  }
  Shutdown(s);
}

}  // namespace kalvix
