#include "acquisition/control_thread.h"

#include <chrono>

#include "journal/event_log.h"
#include "plant/stop_pause.h"
#include "plant/thread_entry.h"
#include "util/tick_count.h"

namespace kalvix {
namespace {

// How long the "Стоп" button waits for the control thread.
constexpr auto kStopButtonWait = std::chrono::milliseconds(500);
// The idle time after every cycle, before the rest of the period.
constexpr uint32_t kCycleRestMs = 50;

}  // namespace

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
  ControlLoop loop(s);
  if (!loop.Start()) return;
  while (!c.StopRequest.load()) {
    const uint32_t t0 = TickCount();
    c.CycleStartNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
    loop.RunPass();
    PauseUnlessStopped(c, kCycleRestMs);
    WaitCycleEnd(c, t0, kCyclePeriodMs);
  }
  loop.Finish();
}

}  // namespace kalvix
