// The pollers' first passes of a run, for the run's first cycle. The cycle checks that JUMO 1,
// JUMO 2 and the V120 have been heard from within 5 s; run straight after the pollers start, it
// finds none of them heard yet and fails, so every start counted an error and wrote its first
// state row a cycle late. Now the control thread arms this before it launches the pollers,
// each poller says when a pass of its has ended, and the first cycle waits (bounded by one
// period, and ended by a stop) until every poller has ended one.
//
// Threads: any. A poller's report is one atomic load once its bit is clear, so the pollers
// pay nothing after their first pass.
#ifndef KALVIX_PLANT_FIRST_PASSES_H_
#define KALVIX_PLANT_FIRST_PASSES_H_

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "plant/thread_flags.h"

namespace kalvix {

enum class Poller : unsigned { kJumo = 0, kV120 = 1, kBk003 = 2 };

class FirstPasses {
 public:
  // A new run: every poller's first pass is awaited again.
  void Arm();
  // A pass of `poller` has ended (however it went: a silent device's pass ends too).
  void PassEnded(Poller poller);
  // Whether `poller` has not ended a pass since Arm.
  bool Pending(Poller poller) const;

  // Waits until every poller has ended a pass since Arm (true), or until `deadline` or a stop
  // (false, also when the stop was already requested).
  bool WaitUntil(const StopSignal& stop, SteadyTime deadline) const;

 private:
  static constexpr unsigned Bit(Poller poller) { return 1u << static_cast<unsigned>(poller); }

  mutable std::mutex mutex_;
  mutable std::condition_variable ended_;
  std::atomic<unsigned> pending_{0};  // a bit per poller; written under mutex_
};

}  // namespace kalvix

#endif  // KALVIX_PLANT_FIRST_PASSES_H_
