// The priority helper on real threads: the outcome it reports is what the thread got, the
// control thread ranks above the pollers, and threads without the privilege run at normal
// priority with one event for the whole process.
#include "plant/thread_priority.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "journal/event_log.h"

namespace kalvix {
namespace {

struct Observed {
  PriorityOutcome outcome = PriorityOutcome::kNormal;
  int policyBefore = -1, policyAfter = -1;
  int rtPriority = 0;
  int niceBefore = 0, niceAfter = 0;
};

int OwnNice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); }

// Runs the helper on a fresh thread; `prepare` runs on that thread first.
Observed RaiseOnNewThread(ThreadPriority level, void (*prepare)() = nullptr) {
  Observed seen;
  std::thread thread([&] {
    if (prepare != nullptr) prepare();
    sched_param param{};
    pthread_getschedparam(pthread_self(), &seen.policyBefore, &param);
    seen.niceBefore = OwnNice();
    seen.outcome = RaiseThreadPriority(level);
    pthread_getschedparam(pthread_self(), &seen.policyAfter, &param);
    seen.rtPriority = param.sched_priority;
    seen.niceAfter = OwnNice();
  });
  thread.join();
  return seen;
}

// Capabilities belong to each thread: this drops CAP_SYS_NICE for the calling thread only.
void DropNiceCapability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
  data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
  ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
}

// Lowers the soft limits that let an unprivileged thread use real-time scheduling or lower
// its nice value, for the life of the object.
class NoPriorityLimits {
 public:
  NoPriorityLimits() {
    for (int i = 0; i < 2; ++i) {
      getrlimit(kResources[i], &saved_[i]);
      rlimit none = saved_[i];
      none.rlim_cur = 0;
      setrlimit(kResources[i], &none);
    }
  }
  ~NoPriorityLimits() {
    for (int i = 0; i < 2; ++i) setrlimit(kResources[i], &saved_[i]);
  }

 private:
  static constexpr int kResources[2] = {RLIMIT_RTPRIO, RLIMIT_NICE};
  rlimit saved_[2] = {};
};

TEST(ThreadPriority, ReportedOutcomeIsWhatTheThreadGot) {
  const Observed control = RaiseOnNewThread(ThreadPriority::kTimeCritical);
  const Observed poller = RaiseOnNewThread(ThreadPriority::kHighest);
  for (const Observed* seen : {&control, &poller}) {
    switch (seen->outcome) {
      case PriorityOutcome::kRealtime:
        EXPECT_EQ(seen->policyAfter, SCHED_RR);
        break;
      case PriorityOutcome::kNice:
        EXPECT_EQ(seen->policyAfter, seen->policyBefore);
        EXPECT_LT(seen->niceAfter, seen->niceBefore);
        break;
      case PriorityOutcome::kNormal:
        EXPECT_EQ(seen->policyAfter, seen->policyBefore);
        EXPECT_EQ(seen->niceAfter, seen->niceBefore);
        break;
    }
  }
  EXPECT_EQ(control.outcome, poller.outcome) << "the same privilege serves both";
  if (control.outcome == PriorityOutcome::kRealtime) {
    EXPECT_GT(control.rtPriority, poller.rtPriority);
  } else if (control.outcome == PriorityOutcome::kNice) {
    EXPECT_LT(control.niceAfter, poller.niceAfter);
  }
}

TEST(ThreadPriority, WithoutPrivilegeThreadsRunNormallyAndOneEventSaysSo) {
  NoPriorityLimits limits;
  for (ThreadPriority level :
       {ThreadPriority::kTimeCritical, ThreadPriority::kHighest, ThreadPriority::kHighest}) {
    const Observed seen = RaiseOnNewThread(level, [] { DropNiceCapability(); });
    EXPECT_EQ(seen.outcome, PriorityOutcome::kNormal);
    EXPECT_EQ(seen.policyAfter, seen.policyBefore);
    EXPECT_EQ(seen.niceAfter, seen.niceBefore);
  }
  // Nothing in this runner drains the queue, so it holds every such event of the process.
  std::vector<std::string> events;
  TEventFIFO_Rec record;
  while (EventQueue().Pop(record)) events.push_back(record.text);
  EXPECT_EQ(std::count(events.begin(), events.end(), kTextNormalPriority), 1);
}

}  // namespace
}  // namespace kalvix
