#include "plant/cycle_pacing.h"

#include <gtest/gtest.h>

#include <chrono>

namespace kalvix {
namespace {

using namespace std::chrono_literals;
using Clock = CyclePacing::Clock;
using std::chrono::microseconds;

constexpr Clock::duration kPeriod = 980ms;

TEST(CyclePacing, WaitIsTheRestOfThePeriodToTheMicrosecond) {
  struct Case {
    microseconds elapsed, wait;
  };
  const Case cases[] = {
      {0us, 980ms},          {100ms, 880ms},     {123'457us, 856'543us},
      {929'999us, 50'001us}, {930'001us, 50ms},  {979'999us, 50ms},
      {980ms, 200ms},        {980'001us, 200ms}, {5s, 200ms},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CycleWait(c.elapsed, kPeriod), c.wait) << c.elapsed.count();
  }
}

// Passes that begin late and last as long as they like still aim at whole periods from the
// first start, to the microsecond: nothing adds up into a drift.
TEST(CyclePacing, PassesKeepToTheGridWhateverTheirLatenessAndLength) {
  const Clock::time_point origin = Clock::time_point() + 1000s;
  CyclePacing pacing(kPeriod);
  EXPECT_FALSE(pacing.BeginPass(origin).has_value());
  EXPECT_EQ(pacing.Aimed(), origin);
  struct Pass {
    microseconds late, length;  // the start after the aimed point; the pass with its rest
  };
  const Pass passes[] = {{0us, 120ms}, {1'999us, 300ms}, {7us, 55ms}, {40ms, 700ms}, {0us, 60ms}};
  Clock::time_point start = origin;
  Clock::time_point aim = pacing.NextAim(origin + 120ms);
  for (size_t i = 0; i < std::size(passes); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(aim, origin + (i + 1) * kPeriod);
    start = aim + passes[i].late;
    EXPECT_EQ(pacing.BeginPass(start), std::optional<Clock::duration>(passes[i].late));
    EXPECT_EQ(pacing.Aimed(), aim);
    aim = pacing.NextAim(start + passes[i].length);
  }
}

// A pass that leaves less than the minimal wait moves the grid by what it overran, once:
// the next pass comes 50 ms (or 200 ms) later, and the ones after it a period apart, with
// no burst of passes to catch up.
TEST(CyclePacing, OverrunMovesTheGridWithoutABurst) {
  struct Case {
    const char* name;
    microseconds end;   // of the pass and its rest, after the aimed point
    microseconds next;  // the next aim after the aimed point
  };
  const Case cases[] = {
      {"a little left", 950ms, 1000ms},
      {"the whole period gone", 980ms, 1180ms},
      {"several periods gone", 4s, 4200ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Clock::time_point origin = Clock::time_point() + 1000s;
    CyclePacing pacing(kPeriod);
    pacing.BeginPass(origin);
    const Clock::time_point next = pacing.NextAim(origin + c.end);
    EXPECT_EQ(next, origin + c.next);
    EXPECT_EQ(pacing.BeginPass(next + 10us), std::optional<Clock::duration>(10us));
    EXPECT_EQ(pacing.NextAim(next + 100ms), next + kPeriod);
  }
}

}  // namespace
}  // namespace kalvix
