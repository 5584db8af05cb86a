#include "util/number_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kalvix {
namespace {

TEST(FormatGeneral, ShortestFormUpTo15Digits) {
  struct Case {
    double x;
    const char* expected;
  };
  const Case cases[] = {
      {2.5, "2.5"},
      {1000, "1000"},
      {-0.25, "-0.25"},
      {250, "250"},
      {0, "0"},
      {-0.0, "0"},
      {0.1 + 0.2, "0.3"},
      {1.0 / 3.0, "0.333333333333333"},
      {123456789012345.0, "123456789012345"},
      {1e15, "1E15"},
      {1.5e20, "1.5E20"},
      {0.00001, "0.00001"},
      {0.000001, "1E-6"},
      {-1.25e-7, "-1.25E-7"},
      {99.99999999999999, "100"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatGeneral(c.x), c.expected) << c.expected;
}

TEST(FormatGeneral, UsesTheGivenDecimalSeparator) {
  EXPECT_EQ(FormatGeneral(-2.5, ','), "-2,5");
  EXPECT_EQ(FormatGeneral(1.5e-9, ','), "1,5E-9");
  EXPECT_EQ(FormatGeneral(12, ','), "12");
}

}  // namespace
}  // namespace kalvix
