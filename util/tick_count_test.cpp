#include "util/tick_count.h"

#include <gtest/gtest.h>

#include <thread>

namespace kalvix {
namespace {

TEST(TickCount, DifferencesSurviveTheWrap) {
  EXPECT_EQ(TicksBetween(0xFFFFFF00u, 0x00000010u), 0x110u);
  EXPECT_EQ(TicksBetween(100u, 350u), 250u);
  EXPECT_EQ(TicksBetween(0xFFFFFFFFu, 0u), 1u);
}

TEST(TickCount, AdvancesWithTheSteadyClock) {
  const uint32_t before = TickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(TicksBetween(before, TickCount()), 20u);
}

}  // namespace
}  // namespace kalvix
