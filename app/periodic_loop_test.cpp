#include "app/periodic_loop.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <thread>
#include <vector>

#include "app/shutdown_signals.h"

namespace kalvix {
namespace {

using namespace std::chrono_literals;
using Clock = PeriodicLoop::Clock;

TEST(PeriodicLoop, JobsRunAtTheirIntervalsInOrder) {
  const Clock::time_point t0{};
  PeriodicLoop loop;
  std::vector<std::string> ran;
  loop.Add("ticks", 250ms, [&] { ran.push_back("ticks"); }, t0);
  loop.Add("statements", 100ms, [&] { ran.push_back("statements"); }, t0);

  EXPECT_EQ(loop.RunDue(t0 + 99ms), t0 + 100ms);
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(loop.RunDue(t0 + 100ms), t0 + 200ms);
  EXPECT_EQ(loop.RunDue(t0 + 250ms), t0 + 300ms);
  EXPECT_EQ(ran, (std::vector<std::string>{"statements", "ticks", "statements"}));
}

TEST(PeriodicLoop, ALateLoopDoesNotCatchUp) {
  const Clock::time_point t0{};
  PeriodicLoop loop;
  int runs = 0;
  loop.Add("drain", 250ms, [&] { ++runs; }, t0);
  EXPECT_EQ(loop.RunDue(t0 + 2s), t0 + 2s + 250ms);
  EXPECT_EQ(runs, 1);
  // Slightly late: the schedule keeps its phase.
  EXPECT_EQ(loop.RunDue(t0 + 2s + 260ms), t0 + 2s + 500ms);
  EXPECT_EQ(runs, 2);
}

TEST(PeriodicLoop, RunStopsWhenTheWaitSaysSo) {
  PeriodicLoop loop;
  int runs = 0;
  loop.Add("job", 1ms, [&] { ++runs; });
  int waits = 0;
  loop.Run([&](Clock::time_point deadline) {
    std::this_thread::sleep_until(deadline);
    return ++waits < 5;
  });
  EXPECT_GE(runs, 3);
}

TEST(ShutdownSignals, TermIntAndHupArriveThroughTheDescriptor) {
  ShutdownSignals signals;
  EXPECT_EQ(signals.Poll(), 0);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ASSERT_EQ(::raise(sig), 0);
    EXPECT_EQ(signals.WaitUntil(Clock::now() + 1s), sig);
  }
  const auto start = Clock::now();
  EXPECT_EQ(signals.WaitUntil(start + 30ms), 0);
  EXPECT_GE(Clock::now() - start, 25ms);
}

}  // namespace
}  // namespace kalvix
