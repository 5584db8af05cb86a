// The first cycle's wait for the pollers' first passes, with pollers played by threads: it
// ends when the last armed poller has ended a pass, at its deadline when one stays silent, and
// at once on a stop; a new run arms it again.
#include "plant/first_passes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace kalvix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A wake is a matter of microseconds; the bound leaves room for a loaded machine.
constexpr milliseconds kWakeBound{50};

struct WaitCase {
  const char* name;
  std::vector<Poller> reporting;  // the pollers that end a pass, 20 ms apart
  bool stop;                      // a stop comes after them
  bool allEnded;                  // what the wait returns
  bool endsEarly;                 // before its 10 s deadline
};

TEST(FirstPasses, WaitEndsWithTheLastPollerItsDeadlineOrAStop) {
  const WaitCase cases[] = {
      {"every poller reports", {Poller::kV120, Poller::kJumo, Poller::kBk003}, false, true, true},
      {"JUMO silent, then a stop", {Poller::kV120, Poller::kBk003}, true, false, true},
      {"nobody reports", {}, false, false, false},
  };
  for (const WaitCase& c : cases) {
    SCOPED_TRACE(c.name);
    FirstPasses passes;
    StopSignal stop;
    passes.PassEnded(Poller::kJumo);  // before the run is armed: not counted
    passes.Arm();
    const milliseconds deadline = c.endsEarly ? milliseconds(10000) : milliseconds(150);
    Clock::time_point told;
    std::thread pollers([&] {
      for (Poller p : c.reporting) {
        std::this_thread::sleep_for(milliseconds(20));
        passes.PassEnded(p);
        passes.PassEnded(p);  // later passes change nothing
      }
      if (c.stop) {
        std::this_thread::sleep_for(milliseconds(20));
        told = Clock::now();
        stop = true;
      }
    });
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(passes.WaitUntil(stop, start + deadline), c.allEnded);
    const Clock::time_point woke = Clock::now();
    pollers.join();
    if (c.stop) {
      EXPECT_LT(woke - told, kWakeBound) << "a stop ends the wait at once";
    }
    if (!c.endsEarly) {
      EXPECT_GE(woke - start, deadline);
    }
    for (Poller p : {Poller::kJumo, Poller::kV120, Poller::kBk003}) {
      const bool reported =
          std::find(c.reporting.begin(), c.reporting.end(), p) != c.reporting.end();
      EXPECT_EQ(passes.Pending(p), !reported) << static_cast<int>(p);
    }
  }
}

TEST(FirstPasses, EachRunAwaitsItsOwnFirstPasses) {
  FirstPasses passes;
  StopSignal stop;
  passes.Arm();
  for (Poller p : {Poller::kJumo, Poller::kV120, Poller::kBk003}) passes.PassEnded(p);
  EXPECT_TRUE(passes.WaitUntil(stop, Clock::now()));
  passes.Arm();  // the next start
  EXPECT_TRUE(passes.Pending(Poller::kJumo));
  EXPECT_FALSE(passes.WaitUntil(stop, Clock::now() + milliseconds(10)));
  stop = true;
  for (Poller p : {Poller::kJumo, Poller::kV120, Poller::kBk003}) passes.PassEnded(p);
  EXPECT_FALSE(passes.WaitUntil(stop, Clock::now() + milliseconds(10000)))
      << "a stop already requested: no wait, and the cycle does not run";
}

}  // namespace
}  // namespace kalvix
