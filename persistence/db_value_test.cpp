#include "persistence/db_value.h"

#include <gtest/gtest.h>

namespace kalvix {
namespace {

TEST(DbValue, ToNumber) {
  struct Case {
    DbValue value;
    bool ok;
    double number;
  };
  const Case cases[] = {
      {DbValue{int64_t{42}}, true, 42},
      {DbValue{1.35}, true, 1.35},
      {DbValue{DbDateTime{40000.5}}, true, 40000.5},
      {DbValue{std::string("1.35")}, true, 1.35},
      {DbValue{std::string(" 1,35 ")}, true, 1.35},
      {DbValue{std::string("-2E3")}, true, -2000},
      {DbValue{std::string("abc")}, false, 0},
      {DbValue{std::string("1.5x")}, false, 0},
      {DbValue{std::string("")}, false, 0},
      {DbValue{}, false, 0},
  };
  for (const Case& c : cases) {
    double out = -7;
    EXPECT_EQ(DbToNumber(c.value, out), c.ok) << DbToText(c.value);
    EXPECT_DOUBLE_EQ(out, c.ok ? c.number : -7) << DbToText(c.value);
  }
  EXPECT_EQ(DbNumberOr(DbValue{}, 5), 5);
}

TEST(DbValue, ToText) {
  EXPECT_EQ(DbToText(DbValue{}), "NULL");
  EXPECT_EQ(DbToText(DbValue{int64_t{-3}}), "-3");
  EXPECT_EQ(DbToText(DbValue{2.5}), "2.5");
  EXPECT_EQ(DbToText(DbValue{std::string("x")}), "x");
  const DateTime moment = EncodeDateTime({2011, 7, 5, 14, 3, 27, 0});
  EXPECT_EQ(DbToText(DbValue{DbDateTime{moment}}), "2011-07-05 14:03:27");
}

}  // namespace
}  // namespace kalvix
