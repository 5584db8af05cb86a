#include "acquisition/control_thread.h"

#include <chrono>
#include <optional>

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
  std::optional<std::chrono::steady_clock::time_point> aimed;  // none before the first pass
  while (!c.StopRequest.load()) {
    const uint32_t t0 = TickCount();
    const auto start = std::chrono::steady_clock::now();
    c.CycleAimNs = aimed ? std::chrono::duration_cast<std::chrono::nanoseconds>(
                               aimed->time_since_epoch())
                               .count()
                         : 0;
    c.CycleStartNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
    if (aimed) c.CycleStartLateness.Record(start - *aimed);
    loop.RunPass();
    PauseUnlessStopped(c, kCycleRestMs);
    aimed = WaitCycleEnd(c, t0, kCyclePeriodMs);
  }
  loop.Finish();
}

}  // namespace kalvix
