#include "plant/first_passes.h"

namespace kalvix {

void FirstPasses::Arm() {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.store(Bit(Poller::kJumo) | Bit(Poller::kV120) | Bit(Poller::kBk003));
}

void FirstPasses::PassEnded(Poller poller) {
  if ((pending_.load(std::memory_order_acquire) & Bit(poller)) == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  // Notified under the lock: the waiter may go as soon as it sees the bits clear.
  if ((pending_.fetch_and(~Bit(poller)) & ~Bit(poller)) == 0) ended_.notify_all();
}

bool FirstPasses::Pending(Poller poller) const {
  return (pending_.load(std::memory_order_acquire) & Bit(poller)) != 0;
}

bool FirstPasses::WaitUntil(const StopSignal& stop, SteadyTime deadline) const {
  // The stop's wakeup takes mutex_, so it cannot come between a look at the flag and the wait.
  const StopWakeup wakeup(stop, [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex_);
  ended_.wait_until(lock, deadline, [&] { return pending_.load() == 0 || stop.load(); });
  return pending_.load() == 0 && !stop.load();
}

}  // namespace kalvix
