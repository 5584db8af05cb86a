#include "acquisition/control_loop.h"

#include <chrono>
#include <exception>
#include <string>

#include "acquisition/control_vector.h"
#include "acquisition/poller_launch.h"
#include "acquisition/stages.h"
#include "journal/event_log.h"
#include "plant/thread_priority.h"

namespace kalvix {
namespace {

constexpr int kStartConnectAttempts = 11;
constexpr int kMaxDbFailures = 300;
constexpr double kFreshSeconds = 5.0;
// A link is closed only once its poller has left its loop; a pass ends within this bound.
constexpr auto kPollerExitBound = std::chrono::milliseconds(3000);

}  // namespace

void CountReconnectFailure(ControlState& control) {
  const int32_t failures = control.DbFailCount.fetch_add(1) + 1;
  if (failures <= kMaxDbFailures) {
    PostEvent("Не могу подключиться к MySQL серверу.");
  } else if (failures == kMaxDbFailures + 1) {
    PostEvent("Не могу подключиться к MySQL серверу.");
    PostEvent("MySQL сервер недоступен.");
  }
}

bool CheckFreshness(const SignalSet& signals, const ControlState& control, DateTime now) {
  const int count = signals.SignalCount();
  if (count < 1 || count > kMaxCycleSignals) return false;
  for (Module m : {kModuleJumo1, kModuleJumo2, kModuleV120}) {
    if ((now - control.ModuleLastOk[m].load()) * kSecondsPerDay > kFreshSeconds) return false;
  }
  return true;
}

ControlLoop::ControlLoop(const Acquisition& acquisition, Clock clock)
    : a_(acquisition), clock_(std::move(clock)), settings_(acquisition.settings()) {}

bool ControlLoop::Start() {
  Prepare();
  if (!OpenLinks()) return false;
  RaiseThreadPriority(ThreadPriority::kTimeCritical);
  Launch();
  // Before the pollers start, so that no first pass ends unseen.
  a_.control.PollerFirstPasses.Arm();
  LaunchPollers(a_, settings_);
  return true;
}

void ControlLoop::Prepare() {
  ControlState& c = a_.control;
  for (int m = 0; m < kModuleCount; ++m) {
    c.ModuleLastOk[m] = 0;
    c.ModuleErrors[m] = 0;
  }
  c.ErrorCounter = 0;
  a_.work.SetParams(a_.user.Params());
  // A stop ends the attempts, and on the control thread (RunControl) also the attempt in
  // progress, which would otherwise take the client's whole connect time-out.
  for (int attempt = 0; attempt < kStartConnectAttempts && !c.StopRequest.load(); ++attempt) {
    const DbStatus status = a_.work.Connect();
    if (status.ok() || status.kind == DbErrorKind::kInterrupted) break;
    PostEvent("*** Поток приема не смог подключиться к серверу! ***");
  }
  // Wanted all the same: the database thread goes on trying while the cycles run.
  a_.work.Want();
  AddJournalRecordAt(a_.journal, a_.statements, clock_(), ">>> Запуск потока управления. <<<",
                     kServiceSource);
  SeedSetupConsts(a_.selects, a_.statements, a_.constants);
}

bool ControlLoop::OpenLinks() {
  const ControlState& c = a_.control;
  if (!a_.ModbusLink.Connected.load() && !c.JumoEmulFlag.load()) {
    a_.ModbusLink.PortName = settings_.ModBUS_PortName;
    if (!a_.ModbusLink.Open(settings_.ModBUS_PortSpeed)) {
      PostEvent("JUMO: Не могу подключить порт " + settings_.ModBUS_PortName);
      return false;
    }
  }
  if (!a_.VisionLink.Active()) {
    a_.VisionLink.SetPortName(settings_.V120_PortName);
    a_.VisionLink.SetSpeed(settings_.V120_PortSpeed);
    a_.VisionLink.SetStatus("");
    a_.VisionLink.SetActive(true);
    if (!a_.VisionLink.Active() && !c.V120EmulFlag.load()) {
      PostEvent("V120: Не могу подключить порт " + settings_.V120_PortName);
      return false;
    }
  }
  return true;
}

void ControlLoop::Launch() {
  a_.control.ThreadStartTime = clock_();
  a_.signals.ClearSignalValues();
  a_.signals.ResetAverages(settings_.AverageLen);
  a_.control.CycleCounter = 0;
}

PassOutcome ControlLoop::RunPass() {
  try {
    settings_ = a_.settings();  // a changed setting takes effect at its next use
    if (RunCycle()) return PassOutcome::kCycleDone;
  } catch (const std::exception& e) {
    // The stages catch their own faults; what reaches here would otherwise pass unnoticed.
    Beep();
    PostEvent(std::string("!!! Ошибка в цикле приема: ") + e.what() + " !!!");
  } catch (...) {
    Beep();
    PostEvent("!!! Ошибка в цикле приема !!!");
  }
  a_.control.ErrorCounter.fetch_add(1);
  return PassOutcome::kFailed;
}

// One acquisition cycle; false when it failed. The first of the four checked stages that
// fails ends it; the set-point stage's result does not count.
bool ControlLoop::RunCycle() {
  const Acquisition& s = a_;
  s.control.CycleCounter.fetch_add(1);
  // Read once: a cycle is either connected or not, whatever happens meanwhile.
  const bool serverUp = s.work.Connected();
  if (!CheckFreshness(s.signals, s.control, clock_())) return false;
  if (!TranslateIn(s.signals, s.constants, clock_())) return false;
  if (serverUp && !s.stateRecord.UpdateStateRecord(s.signals, s.selects, s.statements)) {
    return false;
  }
  if (!CalcWorks(s.signals, s.constants, s.setpoints, clock_())) return false;
  if (serverUp) {
    PollControlVector(s.setpoints, s.signals, settings_.MaxWriteCount, s.selects, s.journal,
                      s.statements, clock_());
  }
  const HistoryOptions options{settings_.max_dg, settings_.old_update_mode, serverUp};
  return s.history.Update_PAF_record(s.signals, s.control, options, s.selects, s.statements,
                                     clock_());
}

void ControlLoop::Finish() {
  const ControlState& c = a_.control;
  a_.work.Disconnect();
  // StopRequest has woken the pollers (their pauses and their port waits); a link is closed
  // only when its poller no longer uses it.
  c.JumoActive.WaitClearFor(kPollerExitBound);
  a_.ModbusLink.Close();
  c.V120Active.WaitClearFor(kPollerExitBound);
  a_.VisionLink.SetActive(false);
  a_.history.KeepUnwrittenMinute(a_.statements.Keeper());
  AddJournalRecordAt(a_.journal, a_.statements, clock_(), "<<< Поток управления остановлен. >>>",
                     kServiceSource);
}

}  // namespace kalvix
