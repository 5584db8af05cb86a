#include "app/worker_threads.h"

#include <pthread.h>

#include "journal/event_log.h"

namespace kalvix {

WorkerThreads::~WorkerThreads() {
  if (!JoinAll(std::chrono::milliseconds(2000))) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Worker& w : workers_) {
      if (w.thread.joinable()) w.thread.detach();
    }
  }
}

void WorkerThreads::ReapFinishedLocked() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done->load(std::memory_order_acquire)) {
      if (it->thread.joinable()) it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void WorkerThreads::Start(const std::string& name, std::function<void()> body) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard<std::mutex> lock(mutex_);
  ReapFinishedLocked();
  std::thread thread([body = std::move(body), done, name] {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    try {
      body();
    } catch (...) {
      // No exception leaves a worker; its body has its own handlers, this is the last one.
      PostEvent("*** Необработанная ошибка в потоке " + name + " ***");
    }
    done->store(true, std::memory_order_release);
  });
  workers_.push_back({std::move(thread), std::move(done)});
}

bool WorkerThreads::JoinAll(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ReapFinishedLocked();
      if (workers_.empty()) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int WorkerThreads::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int running = 0;
  for (const Worker& w : workers_) {
    if (!w.done->load(std::memory_order_acquire)) ++running;
  }
  return running;
}

}  // namespace kalvix
