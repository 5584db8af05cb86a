// The service's worker threads. The design has no thread ever wait for another: a thread's
// running flag is the only sign that it runs. The threads are still kept here as std::thread
// objects, so that the process can join them before the state they use is destroyed. A
// thread is never detached: the owner asks the workers to stop (StopRequest, which also wakes
// their port waits) before this object goes, and its destructor joins every one of them.
#ifndef KALVIX_PLANT_WORKER_THREADS_H_
#define KALVIX_PLANT_WORKER_THREADS_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace kalvix {

class WorkerThreads {
 public:
  WorkerThreads() = default;
  ~WorkerThreads();  // joins every thread, however long its body still runs
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Starts body on a new thread named `name` (at most 15 characters show). Threads that have
  // finished are joined first. Any thread.
  void Start(const std::string& name, std::function<void()> body);

  // Waits up to `bound` for every thread to finish its body (waking as each one does) and
  // joins those that did. True when none is left running. Not from a worker itself.
  bool JoinAll(std::chrono::milliseconds bound);

  // Threads whose body has not returned yet.
  int Running() const;

 private:
  struct Worker {
    std::thread thread;
    bool done = false;  // guarded by mutex_
  };
  void ReapFinishedLocked();
  bool AllDoneLocked() const;

  mutable std::mutex mutex_;
  std::condition_variable finished_;  // a worker's body has returned
  std::list<Worker> workers_;         // guarded by mutex_
};

}  // namespace kalvix

#endif  // KALVIX_PLANT_WORKER_THREADS_H_
