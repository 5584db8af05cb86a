#include "plant/control_state.h"

#include <algorithm>
#include <chrono>

#include "util/tick_count.h"

namespace kalvix {
namespace {

constexpr uint32_t kMinWaitMs = 50;
constexpr uint32_t kOverrunWaitMs = 200;

}  // namespace

uint32_t CycleWaitMs(uint32_t elapsedMs, uint32_t periodMs) {
  if (elapsedMs < periodMs) return std::max(periodMs - elapsedMs, kMinWaitMs);
  return kOverrunWaitMs;
}

std::chrono::steady_clock::time_point WaitCycleEnd(const ControlState& state, uint32_t t0,
                                                   uint32_t periodMs) {
  const auto start = std::chrono::steady_clock::now();
  const uint32_t wait = CycleWaitMs(TicksBetween(t0, TickCount()), periodMs);
  const auto aim = start + std::chrono::milliseconds(wait);
  state.StopRequest.WaitUntil(aim);
  return aim;
}

}  // namespace kalvix
