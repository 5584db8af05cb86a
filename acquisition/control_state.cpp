#include "acquisition/control_state.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "util/tick_count.h"

namespace kalvix {
namespace {

constexpr uint32_t kMinWaitMs = 50;
constexpr uint32_t kOverrunWaitMs = 200;
constexpr auto kSlice = std::chrono::milliseconds(200);

}  // namespace

uint32_t CycleWaitMs(uint32_t elapsedMs, uint32_t periodMs) {
  if (elapsedMs < periodMs) return std::max(periodMs - elapsedMs, kMinWaitMs);
  return kOverrunWaitMs;
}

void WaitCycleEnd(const ControlState& state, uint32_t t0, uint32_t periodMs) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const uint32_t wait = CycleWaitMs(TicksBetween(t0, TickCount()), periodMs);
  const auto deadline = start + std::chrono::milliseconds(wait);
  for (;;) {
    if (state.StopRequest.load(std::memory_order_acquire)) return;
    const auto now = Clock::now();
    if (now >= deadline) return;
    std::this_thread::sleep_until(std::min(now + kSlice, deadline));
  }
}

}  // namespace kalvix
