#include "plant/cycle_pacing.h"

namespace kalvix {
namespace {

constexpr std::chrono::milliseconds kMinWait{50};
constexpr std::chrono::milliseconds kOverrunWait{200};

}  // namespace

CyclePacing::Clock::duration CycleWait(CyclePacing::Clock::duration elapsed,
                                       CyclePacing::Clock::duration period) {
  if (elapsed >= period) return kOverrunWait;
  const CyclePacing::Clock::duration rest = period - elapsed;
  return rest < kMinWait ? CyclePacing::Clock::duration(kMinWait) : rest;
}

std::optional<CyclePacing::Clock::duration> CyclePacing::BeginPass(Clock::time_point now) {
  if (!begun_) {
    begun_ = true;
    aimed_ = now;
    return std::nullopt;
  }
  return now - aimed_;
}

CyclePacing::Clock::time_point CyclePacing::NextAim(Clock::time_point now) {
  aimed_ = now + CycleWait(now - aimed_, period_);
  return aimed_;
}

}  // namespace kalvix
