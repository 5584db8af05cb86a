// CyclePacing: when each pass of the control thread is to begin, on the steady clock to the
// microsecond.
//
// The passes keep to a grid: each aims at the point the previous one aimed at plus one
// period, so neither the length of a pass nor a wake-up that came late moves the later ones,
// and the periods do not drift. A pass that leaves less than the minimal wait of the period
// keeps the designed catch-up: the next pass begins 50 ms after the rest (200 ms when the
// whole period is gone) and the grid goes on from there, so a late pass never starts a
// burst of passes that make up for the time lost.
//
// Threads: the control thread's own.
#ifndef KALVIX_PLANT_CYCLE_PACING_H_
#define KALVIX_PLANT_CYCLE_PACING_H_

#include <chrono>
#include <optional>

namespace kalvix {

class CyclePacing {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CyclePacing(Clock::duration period) : period_(period) {}

  // A pass begins at `now`. Returns how late it is against the point it aimed at; nothing
  // for the first pass, whose start is where the grid begins.
  std::optional<Clock::duration> BeginPass(Clock::time_point now);

  // The point the pass that began last aimed at (its start for the first one).
  Clock::time_point Aimed() const { return aimed_; }

  // After the pass and its rest, at `now`: the point the next pass aims at (see CycleWait),
  // which it takes as its own.
  Clock::time_point NextAim(Clock::time_point now);

 private:
  const Clock::duration period_;
  Clock::time_point aimed_{};
  bool begun_ = false;
};

// The wait at `elapsed` after the point a pass aimed at: the rest of the period when at least
// 50 ms of it are left, else 50 ms; 200 ms when the period has run out.
CyclePacing::Clock::duration CycleWait(CyclePacing::Clock::duration elapsed,
                                       CyclePacing::Clock::duration period);

}  // namespace kalvix

#endif  // KALVIX_PLANT_CYCLE_PACING_H_
