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
  kCycleDone,        // a cycle ran and every stage that counts succeeded
  kFailed,           // a stage failed or the pass threw: ErrorCounter counted
  kReconnected,      // the work connection was down and is up again; the averages restarted
  kReconnectFailed,  // the work connection is still down: DbFailCount counted
  kDatabaseLost,     // the failures passed 300: StopRequest set, the loop ends
};

// Whether the thread paces the pass (50 ms, then the rest of the 980 ms period): only a pass
// that ran a cycle. After a reconnect attempt the next pass follows at once (after the 1000 ms
// pause of a failed one).
inline bool PacedPass(PassOutcome outcome) {
  return outcome == PassOutcome::kCycleDone || outcome == PassOutcome::kFailed;
}

class ControlLoop {
 public:
  using Clock = std::function<DateTime()>;

  // Takes the first copy of the settings. clock gives "now" to the freshness check, the
  // stages, the start time and the journal rows.
  explicit ControlLoop(const Acquisition& acquisition, Clock clock = Now);
  ControlLoop(const ControlLoop&) = delete;
  ControlLoop& operator=(const ControlLoop&) = delete;

  // The whole start of a run, on the control thread: Prepare, OpenLinks, the thread's
  // priority, Launch, then the V120, JUMO and BK-003 pollers. False when a link could not be
  // opened: the thread then ends without its shutdown, as designed.
  bool Start();

  // The parts of Start that a test runs without ports and pollers.
  // Preparation: module times and errors and ErrorCounter cleared, the work connection
  // connected with the user connection's parameters (up to 11 attempts, each failure posted;
  // the run goes on unconnected), the start journalled, the plant constants read.
  void Prepare();
  // Opens the Modbus port and the Vision link unless emulated; false after the message when
  // acquisition cannot run.
  bool OpenLinks();
  // Before the first pass: ThreadStartTime, the value sets cleared, the averages restarted,
  // CycleCounter 0.
  void Launch();

  // One pass: a reconnect attempt while the work connection is down, otherwise one cycle
  // (CheckFreshness, TranslateIn, UpdateStateRecord, CalcWorks, PollControlVector,
  // Update_PAF_record). It makes no pacing wait and throws nothing: an exception inside is
  // counted in ErrorCounter and posted like a stage's error.
  PassOutcome RunPass();

  // Shutdown: the work connection closed, each link closed once its poller has left, the
  // stop journalled.
  void Finish();

 private:
  bool RunCycle();
  PassOutcome Reconnect();

  const Acquisition& a_;
  const Clock clock_;
  Settings settings_;  // the copy of the latest cycle
};

}  // namespace kalvix

#endif  // KALVIX_ACQUISITION_CONTROL_LOOP_H_
