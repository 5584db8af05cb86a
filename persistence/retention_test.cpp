#include "persistence/retention.h"

#include <gtest/gtest.h>

#include "persistence/sql_statement_queue.h"

namespace kalvix {
namespace {

constexpr double kHour = 1.0 / 24.0;
constexpr double kMinute = kHour / 60.0;

TEST(RetentionStatements, TextAndOrder) {
  const std::vector<std::string> expected = {
      "delete from pu_data  where DATEDIFF( CURDATE(), RecMoment ) > 240",
      "delete from control_log  where DATEDIFF( CURDATE(), RecMoment ) > 240",
      "delete from control_vector  where DATEDIFF( CURDATE(), RecMoment ) > 240",
  };
  EXPECT_EQ(RetentionStatements(240), expected);
}

TEST(RetentionCheck, RunsOnlyWhenEnabledLargeEnoughAndTwoWholeHoursOld) {
  const DateTime start = EncodeDateTime({2024, 3, 1, 10, 0, 0, 0});
  struct Case {
    const char* name;
    bool autoClean;
    int days;
    double elapsed;
    bool runs;
  };
  const Case cases[] = {
      {"two hours", true, 240, 2 * kHour, true},
      {"one minute short", true, 240, 2 * kHour - kMinute, false},
      {"just started", true, 240, 0, false},
      {"clean-up off", false, 240, 5 * kHour, false},
      {"30 days keeps it off", true, 30, 5 * kHour, false},
      {"31 days", true, 31, 5 * kHour, true},
      {"clock set back", true, 240, -3 * kHour, true},
  };
  for (const Case& c : cases) {
    SqlStatementQueue queue;
    RetentionCheck check(start);
    EXPECT_EQ(check.Run(c.autoClean, c.days, start + c.elapsed, queue), c.runs) << c.name;
    EXPECT_EQ(queue.Count(), c.runs ? 3u : 0u) << c.name;
    EXPECT_EQ(check.LastClean(), c.runs ? start + c.elapsed : start) << c.name;
  }
}

// Started at 10:00, the clean-ups come at 12:00 and 14:00, not at every tick in between.
TEST(RetentionCheck, EveryTwoHoursFromTheLastCleanUp) {
  const DateTime start = EncodeDateTime({2024, 3, 1, 10, 0, 0, 0});
  RetentionCheck check(start);
  SqlStatementQueue queue;
  std::vector<DateTime> runs;
  for (DateTime t = start; t < start + 5 * kHour; t += kMinute) {
    if (check.Run(true, 60, t, queue)) runs.push_back(t);
  }
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_NEAR(runs[0], start + 2 * kHour, kMinute / 2);
  EXPECT_NEAR(runs[1], start + 4 * kHour, kMinute / 2);
}

}  // namespace
}  // namespace kalvix
