// The main loop of the headless service: a list of named periodic jobs run on the main
// thread at their intervals, as the window's timers run them in the window program.
//
// Deadlines are points of the steady clock: a job that ran late is not run twice to catch
// up, and its next run is one interval after the deadline it served (or after now, when it
// is more than one interval behind). A job is never entered again while it runs, since
// everything here happens on one thread.
#ifndef KALVIX_APP_PERIODIC_LOOP_H_
#define KALVIX_APP_PERIODIC_LOOP_H_

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kalvix {

class PeriodicLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using Job = std::function<void()>;

  // The first run is one interval after `start`.
  void Add(std::string name, std::chrono::milliseconds interval, Job job,
           Clock::time_point start = Clock::now());

  // Runs, in the order they were added, the jobs whose deadline is not after `now`, and
  // returns the earliest deadline that remains.
  Clock::time_point RunDue(Clock::time_point now);

  // Turns the loop until `wait(deadline)` returns false. `wait` sleeps until the deadline or
  // an earlier event and says whether to go on (the service passes one that also watches the
  // shutdown signals).
  void Run(const std::function<bool(Clock::time_point)>& wait);

  size_t JobCount() const { return jobs_.size(); }

 private:
  struct Entry {
    std::string name;
    std::chrono::milliseconds interval;
    Job job;
    Clock::time_point due;
  };
  std::vector<Entry> jobs_;
};

}  // namespace kalvix

#endif  // KALVIX_APP_PERIODIC_LOOP_H_
