// The window thread's periodic jobs and the end of the program. The window runs the jobs on
// its timers, the headless program on its main loop; tests call them directly. The SQL queues
// are served by the database thread (persistence/database_thread.h), not by these jobs.
#ifndef KALVIX_APP_SERVICE_JOBS_H_
#define KALVIX_APP_SERVICE_JOBS_H_

#include <chrono>
#include <functional>
#include <vector>

#include "app/service_state.h"

namespace kalvix {

// One periodic job of the window thread: the name its timer carries, its interval, its work.
struct PeriodicJob {
  const char* name;
  std::chrono::milliseconds interval;
  std::function<void()> run;
};

inline constexpr const char* kTimerUpdate = "TimerUpdate";
inline constexpr const char* kTimerGetLog = "TimerGetLog";
inline constexpr const char* kTimerSpool = "TimerSpool";

// The periodic jobs of the window thread, the one list that kalvixd's main loop, the window's
// timers and the benchmark all run: kTimerUpdate every 250 ms runs `update` (the window's
// status tick, or the start-up ticks alone without a window), kTimerGetLog every 250 ms
// drains the event queue into the daily log, kTimerSpool every minute says what waits in the
// spool (and what it could not keep).
std::vector<PeriodicJob> ServicePeriodicJobs(ServiceState& s, std::function<void()> update);

void TimerGetLogJob(ServiceState& s);

enum class ShutdownReason {
  kOperator,    // the close button
  kSessionEnd,  // SIGTERM, SIGHUP, the desktop session ending
};

// Ends the service: stops the workers, journals and posts the reason, lets the database
// thread write what is still queued (so the last journal rows are not lost; bounded), sets
// Closing and stops the database thread, saves the settings, closes both connections, writes
// the remaining log lines and joins the workers.
void ShutdownService(ServiceState& s, ShutdownReason reason);

}  // namespace kalvix

#endif  // KALVIX_APP_SERVICE_JOBS_H_
