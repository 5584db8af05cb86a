#include "app/systemd_notify.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

namespace kalvix {
namespace {

// One look of the watchdog job: whether the control thread runs, when its latest cycle began
// and when the look is taken, in seconds; and whether the ping goes out.
struct Look {
  bool active;
  double cycleStart;
  double now;
  bool alive;
};

struct LivenessCase {
  const char* name;
  std::vector<Look> looks;  // the liveness is built at second 0
};

int64_t Ns(double seconds) {
  // Far from zero, as the steady clock is on a machine that has run for a while.
  return 1'000'000'000'000LL + std::llround(seconds * 1e9);
}

class ControlLivenessTest : public ::testing::TestWithParam<LivenessCase> {};

TEST_P(ControlLivenessTest, PingsOnlyWhileTheCyclesOrTheMainLoopLive) {
  ControlLiveness liveness(Ns(0));
  const std::vector<Look>& looks = GetParam().looks;
  for (size_t i = 0; i < looks.size(); ++i) {
    const Look& l = looks[i];
    EXPECT_EQ(liveness.Alive(l.active, Ns(l.cycleStart), Ns(l.now)), l.alive)
        << "look " << i << " at " << l.now << " s";
  }
}

// The cycle bound is 2.94 s (three periods), the start bound 90 s.
INSTANTIATE_TEST_SUITE_P(
    Looks, ControlLivenessTest,
    ::testing::Values(
        LivenessCase{"AcquisitionStoppedTheMainLoopCounts",
                     {{false, -1000, 1, true}, {false, -1000, 500, true}}},
        LivenessCase{"CyclesThatBeginWithinThreePeriods",
                     {{true, -1000, 1, true},
                      {true, 1.5, 2, true},
                      {true, 1.5, 4.4, true},
                      {true, 4.4, 5.0, true}}},
        LivenessCase{"HungCycleStopsThePingsAndANewCycleBringsThemBack",
                     {{true, 1.5, 2, true},
                      {true, 1.5, 4.5, false},
                      {true, 1.5, 30, false},
                      {true, 30.2, 30.5, true}}},
        // The start of a run (the work connection's attempts while the server is away, the
        // plant constants' SELECTs) takes far longer than a cycle and is not a hang.
        LivenessCase{"StartOfARunBeforeItsFirstCycle",
                     {{true, -1000, 1, true},
                      {true, -1000, 60, true},
                      {true, -1000, 91.5, false},
                      {true, 92, 92.5, true}}},
        // The previous run's last cycle is long past when the thread starts again: that alone
        // must not stop the pings while the new run starts.
        LivenessCase{"PreviousRunsCycleDoesNotCountAgainstTheNextStart",
                     {{true, 5, 6, true},
                      {false, 10, 12, true},
                      {true, 10, 13, true},
                      {true, 10, 50, true},
                      {true, 51, 52, true},
                      {true, 51, 56, false}}}),
    [](const ::testing::TestParamInfo<LivenessCase>& info) { return info.param.name; });

// The environment as systemd sets it; nullptr leaves a variable unset.
struct EnvironmentCase {
  const char* name;
  const char* notifySocket;
  const char* watchdogUsec;
  bool watchdogPidIsOurs;  // WATCHDOG_PID: ours, or another process's (1)
  bool enabled;
  long long intervalUs;
};

class SystemdNotifierEnvironmentTest : public ::testing::TestWithParam<EnvironmentCase> {
 protected:
  void TearDown() override {
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
  }
};

TEST_P(SystemdNotifierEnvironmentTest, ReadsTheSocketAndTheWatchdogInterval) {
  const EnvironmentCase& c = GetParam();
  if (c.notifySocket != nullptr) ::setenv("NOTIFY_SOCKET", c.notifySocket, 1);
  if (c.watchdogUsec != nullptr) ::setenv("WATCHDOG_USEC", c.watchdogUsec, 1);
  ::setenv("WATCHDOG_PID", c.watchdogPidIsOurs ? std::to_string(::getpid()).c_str() : "1", 1);
  const SystemdNotifier notifier;
  EXPECT_EQ(notifier.Enabled(), c.enabled);
  EXPECT_EQ(notifier.WatchdogInterval().count(), c.intervalUs);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, SystemdNotifierEnvironmentTest,
    ::testing::Values(
        EnvironmentCase{"NoSocket", nullptr, "2000000", true, false, 0},
        EnvironmentCase{"EmptySocket", "", "2000000", true, false, 0},
        EnvironmentCase{"SocketWithoutWatchdog", "@kalvix-test-none", nullptr, true, true, 0},
        EnvironmentCase{"SocketAndWatchdog", "@kalvix-test-none", "2000000", true, true, 2000000},
        // WATCHDOG_PID names the process systemd watches; a child that inherited the
        // environment must not ping on its parent's behalf.
        EnvironmentCase{"WatchdogOfAnotherProcess", "@kalvix-test-none", "2000000", false, true,
                        0}),
    [](const ::testing::TestParamInfo<EnvironmentCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kalvix
