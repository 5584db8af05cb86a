// The control thread's work as an object: its start (preparation, links, the pollers), one pass
// of its loop at a time, and its shutdown. RunControl runs it on the thread and makes the
// pacing waits between the passes; a test runs the passes one by one, with a clock of its own
// and with the statements and SELECTs going to the Acquisition's sink and source.
//
// One thread only: the object is the control thread's (or the test's), and what it works on
// is guarded as the Acquisition says.
#ifndef KALVIX_ACQUISITION_CONTROL_LOOP_H_
#define KALVIX_ACQUISITION_CONTROL_LOOP_H_

#include <functional>

#include "acquisition/acquisition.h"
#include "plant/control_state.h"
#include "plant/settings.h"
#include "plant/signal_set.h"
#include "util/date_time.h"

namespace kalvix {

// The first stage of a cycle: 1 to 90 signals, and JUMO 1, JUMO 2 and the V120 each heard
// from within the last 5 seconds.
bool CheckFreshness(const SignalSet& signals, const ControlState& control, DateTime now);

// What one pass of the loop did.
enum class PassOutcome {
  kCycleDone,  // a cycle ran and every stage that counts succeeded
  kFailed,     // a stage failed or the pass threw: ErrorCounter counted
};

// A failed attempt of the database thread to reopen the work connection: counted in
// DbFailCount and posted ("Не могу подключиться к MySQL серверу."); the failure that passes
// 300 posts "MySQL сервер недоступен." once, and later ones are counted without a line.
// Acquisition goes on whatever the count.
void CountReconnectFailure(ControlState& control);

class ControlLoop {
 public:
  using Clock = std::function<DateTime()>;

  // Takes the first copy of the settings. clock gives "now" to the freshness check, the
  // stages, the start time and the journal rows.
  explicit ControlLoop(const Acquisition& acquisition, Clock clock = Now);
  ControlLoop(const ControlLoop&) = delete;
  ControlLoop& operator=(const ControlLoop&) = delete;

  // The whole start of a run, on the control thread: Prepare, OpenLinks, the thread's
  // priority, Launch, then the V120, JUMO and BK-003 pollers, whose first passes the run's
  // first cycle awaits (PollerFirstPasses, armed here). False when a link could not be
  // opened: the thread then ends without its shutdown, as designed.
  bool Start();

  // The parts of Start that a test runs without ports and pollers.
  // Preparation: module times and errors and ErrorCounter cleared, the work connection
  // connected with the user connection's parameters (up to 11 attempts, each failure posted;
  // the run goes on unconnected and the database thread goes on trying), the start
  // journalled, the plant constants read.
  void Prepare();
  // Opens the Modbus port and the Vision link unless emulated; false after the message when
  // acquisition cannot run.
  bool OpenLinks();
  // Before the first pass: ThreadStartTime, the value sets cleared, the averages restarted,
  // CycleCounter 0.
  void Launch();

  // One cycle: CheckFreshness, TranslateIn, UpdateStateRecord, CalcWorks, PollControlVector,
  // Update_PAF_record. While the work connection is down the cycle runs all the same, without
  // the state row (only the newest matters) and without reading new tasks (the pollers keep
  // writing the last one known); the history keeps its minutes for the server's return. It
  // makes no pacing wait and throws nothing: an exception inside is counted in ErrorCounter
  // and posted like a stage's error.
  PassOutcome RunPass();

  // Shutdown: the work connection closed, each link closed once its poller has left, the
  // current minute kept if it could not be written, the stop journalled.
  void Finish();

 private:
  bool RunCycle();

  const Acquisition& a_;
  const Clock clock_;
  Settings settings_;  // the copy of the latest cycle
};

}  // namespace kalvix

#endif  // KALVIX_ACQUISITION_CONTROL_LOOP_H_
