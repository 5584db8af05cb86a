#include "plant/calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace kalvix {
namespace {

CalibrationTable Table(const std::vector<std::pair<double, double>>& points) {
  CalibrationTable t;
  t.PointCount = static_cast<int32_t>(points.size());
  for (size_t j = 0; j < points.size(); ++j) {
    t.AVal[j] = points[j].first;
    t.FVal[j] = points[j].second;
  }
  return t;
}

TEST(CalibrateValue, InterpolatesAndExtrapolates) {
  struct Case {
    const char* name;
    std::vector<std::pair<double, double>> points;
    double x;
    double expected;
  };
  const Case cases[] = {
      {"identity inside", {{0, 0}, {100, 100}}, 37.5, 37.5},
      {"identity below", {{0, 0}, {100, 100}}, -10, -10},
      {"identity above", {{0, 0}, {100, 100}}, 250, 250},
      {"two points, one AVal", {{5, 1}, {5, 9}}, 42, 1},
      {"on a point", {{0, 0}, {10, 100}, {20, 150}}, 10, 100},
      {"between points", {{0, 0}, {10, 100}, {20, 150}}, 15, 125},
      {"above the table", {{0, 0}, {10, 100}, {20, 150}}, 25, 175},
      {"below the table", {{0, 0}, {10, 100}, {20, 150}}, -5, -50},
      {"unsorted points", {{20, 150}, {0, 0}, {10, 100}}, 15, 125},
      {"all on one AVal, at it", {{5, 1}, {5, 2}, {5, 3}}, 5, 1},
      {"all on one AVal, above", {{5, 1}, {5, 2}, {5, 3}}, 7, 1},
      {"all on one AVal, below", {{5, 1}, {5, 2}, {5, 3}}, 3, 1},
      {"duplicate AVal, first wins", {{0, 0}, {10, 100}, {10, 200}, {20, 300}}, 10, 100},
      {"duplicate AVal, interpolation", {{0, 0}, {10, 100}, {10, 200}, {20, 300}}, 12, 140},
      {"duplicate top, extrapolation", {{0, 0}, {10, 100}, {10, 200}}, 20, 200},
      {"one point", {{3, 7}}, -100, 7},
  };
  for (const Case& c : cases) {
    const CalibrationTable t = Table(c.points);
    EXPECT_DOUBLE_EQ(CalibrateValue(c.x, &t), c.expected) << c.name;
  }
}

TEST(CalibrateValue, UnusableTablesGiveZero) {
  EXPECT_EQ(CalibrateValue(5, nullptr), 0.0);
  CalibrationTable empty;
  EXPECT_EQ(CalibrateValue(5, &empty), 0.0);
  CalibrationTable full;
  full.PointCount = kMaxCalibrationPoints;
  EXPECT_EQ(CalibrateValue(5, &full), 0.0);
  CalibrationTable negative;
  negative.PointCount = -3;
  EXPECT_EQ(CalibrateValue(5, &negative), 0.0);

  // 511 points still take part.
  CalibrationTable big;
  big.PointCount = kMaxCalibrationPoints - 1;
  for (int j = 0; j < big.PointCount; ++j) {
    big.AVal[j] = j;
    big.FVal[j] = 2.0 * j;
  }
  EXPECT_DOUBLE_EQ(CalibrateValue(600.5, &big), 1201.0);
}

// The points read as the zero-filled arrays they replace: an index never written, below or
// above the written ones, is 0, and a copy keeps the points.
TEST(CalibrationPoints, ReadLikeZeroFilledArrays) {
  CalibrationTable t;
  t.AVal[3] = 30;
  t.FVal[1] = 10;
  const CalibrationTable copy = t;
  for (const CalibrationTable* table : {static_cast<const CalibrationTable*>(&t), &copy}) {
    EXPECT_EQ(table->AVal[0], 0.0);
    EXPECT_EQ(table->AVal[3], 30.0);
    EXPECT_EQ(table->AVal[4], 0.0);
    EXPECT_EQ(table->AVal[kMaxCalibrationPoints - 1], 0.0);
    EXPECT_EQ(table->FVal[1], 10.0);
    EXPECT_EQ(table->FVal[3], 0.0);
  }
}

TEST(CalibrateValue, NonFiniteReadingsAndOverflowGiveNaN) {
  const CalibrationTable two = Table({{0, 0}, {1, 1e300}});
  const CalibrationTable three = Table({{0, 0}, {10, 100}, {20, 150}});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double x : {nan, inf, -inf}) {
    EXPECT_TRUE(std::isnan(CalibrateValue(x, &two))) << x;
    EXPECT_TRUE(std::isnan(CalibrateValue(x, &three))) << x;
  }
  EXPECT_TRUE(std::isnan(CalibrateValue(1e300, &two)));
}

}  // namespace
}  // namespace kalvix
