#include "plant/worker_threads.h"

#include "journal/event_log.h"
#include "util/thread_name.h"

namespace kalvix {

WorkerThreads::~WorkerThreads() {
  // A detached thread would go on using the state this object's owner is about to destroy.
  // The joins run without the lock, which the ending threads take; a worker may still start
  // another meanwhile (the control thread launches the pollers), hence the loop.
  for (;;) {
    std::list<Worker> workers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (workers_.empty()) return;
      workers.splice(workers.end(), workers_);
    }
    for (Worker& w : workers) {
      if (w.thread.joinable()) w.thread.join();
    }
  }
}

void WorkerThreads::ReapFinishedLocked() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done) {
      // Its body has returned: the join waits only for the thread's last instructions.
      if (it->thread.joinable()) it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

bool WorkerThreads::AllDoneLocked() const {
  for (const Worker& w : workers_) {
    if (!w.done) return false;
  }
  return true;
}

void WorkerThreads::Start(const std::string& name, std::function<void()> body) {
  std::lock_guard<std::mutex> lock(mutex_);
  ReapFinishedLocked();
  Worker& worker = workers_.emplace_back();
  // The list never moves its elements, and an element is erased only once `done` is set, so
  // the thread may refer to its own entry until then.
  worker.thread = std::thread([this, &worker, body = std::move(body), name] {
    SetThreadName(name);
    try {
      body();
    } catch (...) {
      // No exception leaves a worker; its body has its own handlers, this is the last one.
      PostEvent("*** Необработанная ошибка в потоке " + name + " ***");
    }
    std::lock_guard<std::mutex> done(mutex_);
    worker.done = true;
    finished_.notify_all();
  });
}

bool WorkerThreads::JoinAll(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait_until(lock, deadline, [this] { return AllDoneLocked(); });
  ReapFinishedLocked();
  return workers_.empty();
}

int WorkerThreads::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int running = 0;
  for (const Worker& w : workers_) {
    if (!w.done) ++running;
  }
  return running;
}

}  // namespace kalvix
