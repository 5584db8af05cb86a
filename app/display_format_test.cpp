#include "app/display_format.h"

#include <gtest/gtest.h>

#include <cmath>

#include "util/number_format.h"

namespace kalvix {
namespace {

std::string WithDisplaySeparator(std::string text) {
  for (char& c : text) {
    if (c == '.') c = DisplayDecimalSeparator();
  }
  return text;
}

TEST(DisplayFormatTest, FixedDecimals) {
  struct Case {
    double x;
    int decimals;
    const char* text;
  };
  const Case cases[] = {
      {0, 3, "0"},          {12.5, 3, "12.5"},         {1.23456, 3, "1.235"},
      {-0.0001, 3, "0"},    {1234567.125, 3, "1234567.125"}, {350, 2, "350"},
      {1.456, 2, "1.46"},   {-2.5, 2, "-2.5"},         {1e20, 2, "100000000000000000000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatFixed(c.x, c.decimals), WithDisplaySeparator(c.text)) << c.x;
  }
  EXPECT_EQ(FormatFixed(std::nan(""), 3), "NAN");
}

TEST(DisplayFormatTest, WorkTime) {
  const double second = 1.0 / kSecondsPerDay;
  EXPECT_EQ(FormatWorkTime(59 * 60 * second), "00:59:00");
  EXPECT_EQ(FormatWorkTime(1 + (2 * 3600 + 3 * 60 + 4) * second), "01 02:03:04");
  EXPECT_EQ(FormatWorkTime(0), "00:00:00");
  EXPECT_EQ(FormatWorkTime(-1), "00:00:00");  // a clock set back
  EXPECT_EQ(FormatWorkTime(123 + 0.5), "123 12:00:00");
}

TEST(DisplayFormatTest, TrayIconFollowsTheCycles) {
  EXPECT_EQ(TrayIconIndex(false, 7), 0);
  EXPECT_EQ(TrayIconIndex(true, 6), 1);
  EXPECT_EQ(TrayIconIndex(true, 7), 2);
}

}  // namespace
}  // namespace kalvix
