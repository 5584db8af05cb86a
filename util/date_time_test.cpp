#include "util/date_time.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kalvix {
namespace {

TEST(DateTime, EpochAndKnownDays) {
  struct Case {
    DateTimeParts parts;
    double value;
  };
  const Case cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
      {{2011, 7, 5, 12, 0, 0, 0}, 40729.5},
      {{2000, 2, 29, 6, 0, 0, 0}, 36585.25},
      {{1899, 12, 29, 0, 0, 0, 0}, -1.0},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(c.parts), c.value) << c.value;
    const DateTimeParts back = DecodeDateTime(c.value);
    EXPECT_EQ(back.year, c.parts.year);
    EXPECT_EQ(back.month, c.parts.month);
    EXPECT_EQ(back.day, c.parts.day);
    EXPECT_EQ(back.hour, c.parts.hour);
  }
}

TEST(DateTime, DecodeRoundsToTheMillisecondWithoutCarryErrors) {
  // 23:59:59.9996 rounds up into the next day rather than to a 24th hour.
  const double almostMidnight = 40729.0 + (86399999.6 / kMillisecondsPerDay);
  const DateTimeParts p = DecodeDateTime(almostMidnight);
  EXPECT_EQ(p.day, 6);
  EXPECT_EQ(p.hour, 0);
  EXPECT_EQ(p.millisecond, 0);

  const DateTimeParts q = DecodeDateTime(EncodeDateTime({2011, 7, 5, 14, 3, 27, 250}));
  EXPECT_EQ(q.minute, 3);
  EXPECT_EQ(q.second, 27);
  EXPECT_EQ(q.millisecond, 250);
}

TEST(DateTime, OutOfRangeValuesDecodeAsDayZero) {
  for (double v : {1e300, -1e300, std::nan(""), 3e6}) {
    const DateTimeParts p = DecodeDateTime(v);
    EXPECT_EQ(p.year, 1899) << v;
    EXPECT_EQ(FormatDateTime("yyyy", v), "1899");
  }
}

TEST(DateTime, FormatPatterns) {
  const DateTime t = EncodeDateTime({2011, 7, 5, 4, 3, 7, 9});
  struct Case {
    const char* pattern;
    const char* expected;
  };
  const Case cases[] = {
      {"dd.mm.yyyy", "05.07.2011"},
      {"hh:nn:ss", "04:03:07"},
      {"yyyy_mm_dd", "2011_07_05"},
      {"yyyy-mm-dd hh:nn:ss", "2011-07-05 04:03:07"},
      {"YYYY-MM-DD HH:NN:SS.zzz", "2011-07-05 04:03:07.009"},
      {"yy", "11"},
      {"'at' hh", "at 04"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatDateTime(c.pattern, t), c.expected) << c.pattern;
}

TEST(DateTime, TimePointRoundTripIsLocalTime) {
  const auto now = std::chrono::system_clock::now();
  const DateTime value = FromTimePoint(now);
  const auto back = ToTimePoint(value);
  const auto diff = std::chrono::duration_cast<std::chrono::milliseconds>(back - now).count();
  EXPECT_LE(std::abs(diff), 1);

  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const DateTimeParts parts = DecodeDateTime(value);
  EXPECT_EQ(parts.hour, local.tm_hour);
  EXPECT_EQ(parts.day, local.tm_mday);
}

TEST(DateTime, NowIsCloseToTheSystemClock) {
  const double a = FromTimePoint(std::chrono::system_clock::now());
  const double n = Now();
  EXPECT_GE(n, a);
  EXPECT_LT((n - a) * kSecondsPerDay, 5.0);
}

}  // namespace
}  // namespace kalvix
