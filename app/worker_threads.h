// The service's worker threads. The design has no thread ever wait for another: a thread's
// running flag is the only sign that it runs. The threads are still kept here as std::thread
// objects, so that the process can join them before the state they use is destroyed; a thread
// is joined only once it has finished its body, so a join never waits for a loop.
#ifndef KALVIX_APP_WORKER_THREADS_H_
#define KALVIX_APP_WORKER_THREADS_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kalvix {

class WorkerThreads {
 public:
  WorkerThreads() = default;
  ~WorkerThreads();  // JoinAll with a short bound; what still runs is detached
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Starts body on a new thread named `name` (at most 15 characters show). Threads that have
  // finished are joined first. Any thread.
  void Start(const std::string& name, std::function<void()> body);

  // Waits up to `bound` for every thread to finish its body and joins those that did.
  // True when none is left running.
  bool JoinAll(std::chrono::milliseconds bound);

  // Threads whose body has not returned yet.
  int Running() const;

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void ReapFinishedLocked();

  mutable std::mutex mutex_;
  std::list<Worker> workers_;  // guarded by mutex_
};

}  // namespace kalvix

#endif  // KALVIX_APP_WORKER_THREADS_H_
