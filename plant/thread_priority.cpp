#include "plant/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "journal/event_log.h"

namespace kalvix {
namespace {

// Round-robin rather than FIFO: the three pollers share one priority, and none of them may
// keep a processor from the others while it runs.
bool TryRealtime(int priority) {
  sched_param param{};
  param.sched_priority = priority;
  return pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0;
}

// On Linux a nice value belongs to one thread when it is set through the thread's id.
bool TryLowerNice(int step) {
  const id_t self = static_cast<id_t>(gettid());
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, self);
  if (current == -1 && errno != 0) return false;
  const int target = current - step < -20 ? -20 : current - step;
  if (target >= current) return false;
  return setpriority(PRIO_PROCESS, self, target) == 0;
}

std::atomic<bool> normalPriorityReported{false};

}  // namespace

PriorityOutcome RaiseThreadPriority(ThreadPriority level) {
  const bool control = level == ThreadPriority::kTimeCritical;
  if (TryRealtime(control ? kTimeCriticalRtPriority : kHighestRtPriority)) {
    return PriorityOutcome::kRealtime;
  }
  if (TryLowerNice(control ? kTimeCriticalNiceStep : kHighestNiceStep)) {
    return PriorityOutcome::kNice;
  }
  if (!normalPriorityReported.exchange(true)) PostEvent(kTextNormalPriority);
  return PriorityOutcome::kNormal;
}

}  // namespace kalvix
