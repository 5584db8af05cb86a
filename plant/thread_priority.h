// Raising the priority of the acquisition threads above the window thread's.
//
// The control thread runs above the pollers, and the pollers above everything else, so a
// busy desktop or database cannot stretch a poller's exchange or the one-second cycle. The
// helper tries, in this order: real-time round-robin scheduling; a lower nice value for the
// calling thread alone; and otherwise leaves the thread at normal priority and says so once
// in the log, with one event for the whole process however many threads fall back.
//
// Threads: any thread may call it; it changes only the calling thread.
#ifndef KALVIX_PLANT_THREAD_PRIORITY_H_
#define KALVIX_PLANT_THREAD_PRIORITY_H_

namespace kalvix {

enum class ThreadPriority {
  kTimeCritical,  // the control thread
  kHighest,       // the three pollers
};

// What the calling thread got.
enum class PriorityOutcome {
  kRealtime,  // SCHED_RR
  kNice,      // a lower nice value than before
  kNormal,    // unchanged
};

// Real-time priorities (1..99 on Linux). Low values: they already place the threads above
// every normal thread, and leave the kernel's own real-time threads above ours.
inline constexpr int kTimeCriticalRtPriority = 3;
inline constexpr int kHighestRtPriority = 2;
// Nice steps below the thread's current value when real-time scheduling is not permitted.
inline constexpr int kTimeCriticalNiceStep = 10;
inline constexpr int kHighestNiceStep = 5;

inline constexpr const char* kTextNormalPriority =
    "=== Повысить приоритет потоков приема не удалось: они работают с обычным приоритетом. ===";

PriorityOutcome RaiseThreadPriority(ThreadPriority level);

}  // namespace kalvix

#endif  // KALVIX_PLANT_THREAD_PRIORITY_H_
