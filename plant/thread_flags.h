// The two kinds of flag through which the service's threads meet: StopRequest, which asks
// every worker to end, and the running flags, which say that a worker runs. Reading either
// is one atomic load; setting either wakes the threads that wait on it at once, so a stop
// or a thread's end is seen the moment it happens, never at the end of a polling slice.
//
// Threads: every member may be called from any thread. The waits are const, so a thread
// that only reads the flags (the pollers get the control state as const) can still wait.
#ifndef KALVIX_PLANT_THREAD_FLAGS_H_
#define KALVIX_PLANT_THREAD_FLAGS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>

namespace kalvix {

using SteadyTime = std::chrono::steady_clock::time_point;

// The stop request. Setting it wakes every wait on it: WaitUntil, the poll() of every serial
// port that watches PollFd(), and the waits that registered a StopWakeup. Clearing it re-arms
// it for the next run.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  bool load(std::memory_order order = std::memory_order_seq_cst) const noexcept {
    return requested_.load(order);
  }
  // true: a stop is requested and every waiter wakes; false: re-armed.
  StopSignal& operator=(bool requested);

  // Sleeps until `deadline` or a stop request, whichever comes first; true when a stop is
  // requested (also when it already was).
  bool WaitUntil(SteadyTime deadline) const;
  bool WaitFor(std::chrono::milliseconds length) const {
    return WaitUntil(std::chrono::steady_clock::now() + length);
  }

  // An eventfd that poll() sees readable exactly while a stop is requested; it lives as long
  // as this object.
  int PollFd() const { return eventFd_; }

 private:
  friend class StopWakeup;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::atomic<bool> requested_{false};  // written under mutex_
  // The registered wakeups, called under mutex_ when a stop is requested.
  mutable std::list<const std::function<void()>*> wakeups_;
  const int eventFd_;
};

// For a wait on a condition variable of its own (the select queue's): while this object
// lives, `wake` is called whenever a stop is requested. `wake` runs on the stopping thread
// under the stop's lock, so it must only notify (taking the waiter's mutex is fine), and the
// waiter must create and destroy this object without holding that mutex.
class StopWakeup {
 public:
  StopWakeup(const StopSignal& stop, std::function<void()> wake);
  ~StopWakeup();
  StopWakeup(const StopWakeup&) = delete;
  StopWakeup& operator=(const StopWakeup&) = delete;

 private:
  const StopSignal& stop_;
  const std::function<void()> wake_;
  std::list<const std::function<void()>*>::iterator entry_;
};

// The running flag of a worker thread (ControlActive, JumoActive, V120Active, BkActive).
// Reads and writes like an atomic bool; a thread that must wait for a worker to leave waits
// on it and wakes when the worker clears it.
class RunningFlag {
 public:
  RunningFlag() = default;
  RunningFlag(const RunningFlag&) = delete;
  RunningFlag& operator=(const RunningFlag&) = delete;

  bool load(std::memory_order order = std::memory_order_seq_cst) const noexcept {
    return running_.load(order);
  }
  operator bool() const noexcept { return load(); }  // NOLINT: reads like the atomic it was
  void store(bool running);
  RunningFlag& operator=(bool running) {
    store(running);
    return *this;
  }
  // Sets the flag and returns its previous value, in one step.
  bool exchange(bool running);

  // Waits until the flag is clear or `deadline` has passed; true when it is clear.
  bool WaitClearUntil(SteadyTime deadline) const;
  bool WaitClearFor(std::chrono::milliseconds bound) const {
    return WaitClearUntil(std::chrono::steady_clock::now() + bound);
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cleared_;
  std::atomic<bool> running_{false};  // written under mutex_
};

}  // namespace kalvix

#endif  // KALVIX_PLANT_THREAD_FLAGS_H_
