#include "plant/stop_pause.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kalvix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(PauseUnlessStopped, LastsTheWholePauseWithoutAStop) {
  ControlState state;
  const auto start = Clock::now();
  EXPECT_TRUE(PauseUnlessStopped(state, 120));
  EXPECT_GE(Clock::now() - start, milliseconds(120));
}

TEST(PauseUnlessStopped, EndsWithinASliceOfAStop) {
  ControlState state;
  std::thread stopper([&] {
    std::this_thread::sleep_for(milliseconds(40));
    state.StopRequest = true;
  });
  const auto start = Clock::now();
  EXPECT_FALSE(PauseUnlessStopped(state, 5000));
  const auto took = Clock::now() - start;
  stopper.join();
  EXPECT_LT(took, milliseconds(40 + 50 + 150)) << "room for a loaded machine";

  const auto again = Clock::now();
  EXPECT_FALSE(PauseUnlessStopped(state, 5000)) << "a stop already requested";
  EXPECT_LT(Clock::now() - again, milliseconds(50));
}

}  // namespace
}  // namespace kalvix
