#include "acquisition/control_thread.h"

#include <chrono>
#include <optional>

#include "journal/event_log.h"
#include "persistence/server_wait.h"
#include "plant/cycle_pacing.h"
#include "plant/stop_pause.h"
#include "plant/thread_entry.h"

namespace kalvix {
namespace {

// How long the "Стоп" button waits for the control thread.
constexpr auto kStopButtonWait = std::chrono::milliseconds(500);
// The idle time after every cycle, before the rest of the period.
constexpr uint32_t kCycleRestMs = 50;

int64_t SteadyNs(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

bool StartControl(const Acquisition& s) {
  if (s.control.ControlActive.load()) return true;
  DbValue probe;
  const DbStatus status = s.user.QueryValue("select count(*) as Rez from pu_data", "Rez", probe);
  if (!status.ok()) {
    // Started by AutoStart nobody looks at the result: without a line here an unattended
    // service would sit idle with no sign of why. A query the program's end cut off needs
    // none: the end says itself.
    if (status.kind != DbErrorKind::kInterrupted) {
      PostEvent("*** Поток управления не запущен: " + status.Describe() + " ***");
    }
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
  // A stop ends the thread's own waits on the server (the connection attempts of its start)
  // at once rather than at the client's time-outs.
  const ServerWaitInterrupts interrupts({c.StopRequest.PollFd()});
  ControlLoop loop(s);
  if (!loop.Start()) return;
  // The first cycle finds every module heard from once each poller has ended a pass; a silent
  // device holds it one period at most, and its module then fails the freshness check as
  // designed. The pacing starts after the wait.
  c.PollerFirstPasses.WaitUntil(
      c.StopRequest, std::chrono::steady_clock::now() + std::chrono::milliseconds(kCyclePeriodMs));
  CyclePacing pacing{std::chrono::milliseconds(kCyclePeriodMs)};
  while (!c.StopRequest.load()) {
    const auto start = std::chrono::steady_clock::now();
    const std::optional<std::chrono::steady_clock::duration> late = pacing.BeginPass(start);
    c.CycleAimNs = late ? SteadyNs(pacing.Aimed()) : 0;
    c.CycleStartNs = SteadyNs(start);
    if (late) c.CycleStartLateness.Record(*late);
    loop.RunPass();
    PauseUnlessStopped(c, kCycleRestMs);
    c.StopRequest.WaitUntil(pacing.NextAim(std::chrono::steady_clock::now()));
  }
  loop.Finish();
}

}  // namespace kalvix
