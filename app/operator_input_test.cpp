#include "app/operator_input.h"

#include <gtest/gtest.h>

#include <limits>

namespace kalvix {
namespace {

TEST(OperatorInputTest, Numbers) {
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"1.45", true, 1.45},   {"1,45", true, 1.45},    {" 350 ", true, 350},
      {"-0,5", true, -0.5},   {"+2", true, 2},         {"2e3", true, 2000},
      {",5", true, 0.5},      {"5.", true, 5},         {"", false, 0},
      {" ", false, 0},        {"1.4a", false, 0},      {"a1", false, 0},
      {"1.2.3", false, 0},    {"1,2,3", false, 0},     {"inf", false, 0},
      {"nan", false, 0},      {"0x10", false, 0},      {"1e", false, 0},
      {"1e999", false, 0},    {"-", false, 0},         {".", false, 0},
      {"1 2", false, 0},
  };
  for (const Case& c : cases) {
    double value = -7;
    EXPECT_EQ(ParseOperatorNumber(c.text, value), c.ok) << c.text;
    EXPECT_DOUBLE_EQ(value, c.ok ? c.value : -7) << c.text;
  }
}

TEST(OperatorInputTest, Integers) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  };
  const Case cases[] = {
      {"60", true, 60},           {" 38400 ", true, 38400},  {"-5", true, -5},
      {"+7", true, 7},            {"2147483647", true, std::numeric_limits<int32_t>::max()},
      {"2147483648", false, 0},   {"1.5", false, 0},         {"1,0", false, 0},
      {"", false, 0},             {"abc", false, 0},         {"12abc", false, 0},
      {"+-1", false, 0},          {"-+1", false, 0},
  };
  for (const Case& c : cases) {
    int32_t value = -7;
    EXPECT_EQ(ParseOperatorInteger(c.text, value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : -7) << c.text;
  }
}

}  // namespace
}  // namespace kalvix
