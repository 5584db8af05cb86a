#include "plant/control_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "util/tick_count.h"

namespace kalvix {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(WaitCycleEnd, WaitForTheRestOfThePeriod) {
  struct Case {
    uint32_t elapsed, wait;
  };
  const Case cases[] = {{0, 980}, {100, 880}, {930, 50}, {979, 50}, {980, 200}, {5000, 200}};
  for (const Case& c : cases) EXPECT_EQ(CycleWaitMs(c.elapsed, 980), c.wait) << c.elapsed;
}

TEST(WaitCycleEnd, EndsAtThePeriodsEndMeasuredFromT0) {
  ControlState state;
  const uint32_t t0 = TickCount() - 700;  // the period began 700 ms ago
  const auto start = Clock::now();
  WaitCycleEnd(state, t0, 980);
  const long long waited = MsSince(start);
  EXPECT_GE(waited, 270);
  EXPECT_LT(waited, 280 + 150) << "generous bound for a loaded machine";
}

TEST(WaitCycleEnd, StopRequestIsSeenWithin200Ms) {
  ControlState state;
  const auto start = Clock::now();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    state.StopRequest = true;
  });
  WaitCycleEnd(state, TickCount(), 980);
  const long long waited = MsSince(start);
  stopper.join();
  EXPECT_LT(waited, 30 + 200 + 150);
}

}  // namespace
}  // namespace kalvix
