// The flags and counters through which the window thread, the control thread and the three
// pollers meet. No thread holds another's handle; these fields are the only signs that a
// thread runs. Every field is atomic: each has one writer (StopRequest two), and the status
// display reads them all from the window thread. StopRequest and the running flags also wake
// the threads that wait on them (plant/thread_flags.h).
#ifndef KALVIX_PLANT_CONTROL_STATE_H_
#define KALVIX_PLANT_CONTROL_STATE_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "plant/duration_histogram.h"
#include "plant/first_passes.h"
#include "plant/thread_flags.h"
#include "util/date_time.h"

namespace kalvix {

// The polled modules, in the order of ModuleLastOk and ModuleErrors.
enum Module : int { kModuleJumo1 = 0, kModuleJumo2 = 1, kModuleV120 = 2, kModuleBk003 = 3 };
inline constexpr int kModuleCount = 4;

// The pacing period of the control thread and of every poller.
inline constexpr uint32_t kCyclePeriodMs = 980;

struct ControlState {
  StopSignal StopRequest;
  RunningFlag ControlActive;
  RunningFlag JumoActive;
  RunningFlag V120Active;
  RunningFlag BkActive;
  std::atomic<bool> JumoEmulFlag{false};
  std::atomic<bool> V120EmulFlag{false};

  std::atomic<int32_t> CycleCounter{0};
  std::atomic<int32_t> ErrorCounter{0};
  std::atomic<int32_t> DbFailCount{0};  // over the life of the process
  std::atomic<DateTime> ThreadStartTime{0};
  // Steady-clock time, in nanoseconds, at which the latest pass of the loop began; read
  // beside CycleCounter it shows the cycle's pacing from outside the thread.
  std::atomic<int64_t> CycleStartNs{0};
  // Steady-clock time, in nanoseconds, of the point the pacing aimed that pass at (0 for the
  // first pass of a run, which aims at nothing); stored before CycleStartNs.
  std::atomic<int64_t> CycleAimNs{0};
  // How much later than the pacing aimed each pass began (the first pass of a run aims at
  // nothing and is not counted). Bounds from 0.1 ms to 1 s: a loaded machine shows in the
  // millisecond buckets, a thread held up in the upper ones.
  DurationHistogram CycleStartLateness{100,    250,    500,    1'000,   2'000,   5'000,
                                       10'000, 25'000, 50'000, 100'000, 250'000, 1'000'000};

  // The first cycle of a run waits for the pollers' first passes (first_passes.h).
  FirstPasses PollerFirstPasses;

  std::array<std::atomic<DateTime>, kModuleCount> ModuleLastOk{};
  std::array<std::atomic<int32_t>, kModuleCount> ModuleErrors{};
};

// Waits for the rest of a period that began at tick t0: until t0 + period when that is at
// least 50 ms away, else 50 ms; 200 ms when the period has already run out. The wait aims at
// an absolute point of the steady clock and ends the moment StopRequest is set. Returns that
// point: the next pass is late by as much as it begins after it.
std::chrono::steady_clock::time_point WaitCycleEnd(const ControlState& state, uint32_t t0,
                                                   uint32_t periodMs);

// The wait WaitCycleEnd makes for a given elapsed time, in milliseconds.
uint32_t CycleWaitMs(uint32_t elapsedMs, uint32_t periodMs);

}  // namespace kalvix

#endif  // KALVIX_PLANT_CONTROL_STATE_H_
