#include "plant/thread_flags.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace kalvix {

// Without a descriptor (the process is out of them) the serial waits are not woken by a
// stop, but they still end within their time-outs.
StopSignal::StopSignal() : eventFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
  if (eventFd_ >= 0) ::close(eventFd_);
}

StopSignal& StopSignal::operator=(bool requested) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (requested_.load(std::memory_order_relaxed) == requested) return *this;
  requested_.store(requested, std::memory_order_seq_cst);
  // The descriptor mirrors the flag: its counter is 1 while a stop is requested, 0 after.
  if (requested) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write(eventFd_, &one, sizeof one);
    for (const std::function<void()>* wake : wakeups_) (*wake)();
    changed_.notify_all();
  } else {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t r = ::read(eventFd_, &count, sizeof count);
  }
  return *this;
}

bool StopSignal::WaitUntil(SteadyTime deadline) const {
  if (requested_.load(std::memory_order_acquire)) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_until(lock, deadline,
                             [this] { return requested_.load(std::memory_order_relaxed); });
}

StopWakeup::StopWakeup(const StopSignal& stop, std::function<void()> wake)
    : stop_(stop), wake_(std::move(wake)) {
  std::lock_guard<std::mutex> lock(stop_.mutex_);
  entry_ = stop_.wakeups_.insert(stop_.wakeups_.end(), &wake_);
}

StopWakeup::~StopWakeup() {
  std::lock_guard<std::mutex> lock(stop_.mutex_);
  stop_.wakeups_.erase(entry_);
}

// The notification is sent under the lock: a waiter that sees the flag clear may destroy
// it at once (a test's local flag), and must not be notified after that.
void RunningFlag::store(bool running) {
  std::lock_guard<std::mutex> lock(mutex_);
  running_.store(running, std::memory_order_seq_cst);
  if (!running) cleared_.notify_all();
}

bool RunningFlag::exchange(bool running) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool was = running_.exchange(running, std::memory_order_seq_cst);
  if (!running) cleared_.notify_all();
  return was;
}

bool RunningFlag::WaitClearUntil(SteadyTime deadline) const {
  if (!running_.load(std::memory_order_acquire)) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  return cleared_.wait_until(lock, deadline,
                             [this] { return !running_.load(std::memory_order_relaxed); });
}

}  // namespace kalvix
