#include "app/periodic_loop.h"

#include <algorithm>

namespace kalvix {

void PeriodicLoop::Add(std::string name, std::chrono::milliseconds interval, Job job,
                       Clock::time_point start) {
  jobs_.push_back({std::move(name), interval, std::move(job), start + interval});
}

PeriodicLoop::Clock::time_point PeriodicLoop::RunDue(Clock::time_point now) {
  Clock::time_point next = Clock::time_point::max();
  for (Entry& e : jobs_) {
    if (e.due <= now) {
      e.job();
      e.due += e.interval;
      if (e.due <= now) e.due = now + e.interval;  // too far behind: do not catch up
    }
    next = std::min(next, e.due);
  }
  return next;
}

void PeriodicLoop::Run(const std::function<bool(Clock::time_point)>& wait) {
  for (;;) {
    const Clock::time_point next = RunDue(Clock::now());
    if (!wait(next)) return;
  }
}

}  // namespace kalvix
