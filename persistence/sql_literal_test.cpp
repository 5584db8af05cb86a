#include "persistence/sql_literal.h"

#include <gtest/gtest.h>

#include <limits>

namespace kalvix {
namespace {

TEST(SqlFloat, PointDecimalAndNullForNonFinite) {
  EXPECT_EQ(SqlFloat(2.5), "2.5");
  EXPECT_EQ(SqlFloat(1000), "1000");
  EXPECT_EQ(SqlFloat(-0.25), "-0.25");
  EXPECT_EQ(SqlFloat(1.5e-7), "1.5E-7");
  EXPECT_EQ(SqlFloat(std::numeric_limits<double>::quiet_NaN()), "NULL");
  EXPECT_EQ(SqlFloat(std::numeric_limits<double>::infinity()), "NULL");
  EXPECT_EQ(SqlFloat(-std::numeric_limits<double>::infinity()), "NULL");
}

TEST(SqlText, QuotesAndEscapes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", "NULL"},
      {"'", R"('\'')"},
      {"Don't stop", R"('Don\'t stop')"},
      {R"(a\b)", R"('a\\b')"},
      {R"(say "hi")", R"('say \"hi\"')"},
      {"Плотность", "'Плотность'"},
      {std::string("a\0b", 3), R"('a\0b')"},
      {"x'); drop table signal; --", R"('x\'); drop table signal; --')"},
  };
  for (const Case& c : cases) EXPECT_EQ(SqlText(c.in), c.out) << c.out;
}

TEST(SqlIdentifier, BackticksAreDoubled) {
  EXPECT_EQ(SqlIdentifier("signal"), "`signal`");
  EXPECT_EQ(SqlIdentifier("G 1`x"), "`G 1``x`");
}

}  // namespace
}  // namespace kalvix
