#include "acquisition/stop_pause.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kalvix {

bool PauseUnlessStopped(const ControlState& state, uint32_t ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  const auto slice = std::chrono::milliseconds(kStopPauseSliceMs);
  for (;;) {
    if (state.StopRequest.load(std::memory_order_acquire)) return false;
    const auto now = Clock::now();
    if (now >= deadline) return true;
    std::this_thread::sleep_until(std::min(now + slice, deadline));
  }
}

}  // namespace kalvix
