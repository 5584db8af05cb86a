#include "plant/calibration.h"

#include <cmath>
#include <limits>

namespace kalvix {
namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

double Line(double x, double a0, double f0, double a1, double f1) {
  return f0 + (x - a0) * (f1 - f0) / (a1 - a0);
}

double Piecewise(double x, const CalibrationTable& t) {
  const int32_t n = t.PointCount;
  int32_t lower = -1;  // largest AVal below x, earliest among equals
  int32_t upper = -1;  // smallest AVal above x, earliest among equals
  for (int32_t j = 0; j < n; ++j) {
    const double a = t.AVal[j];
    if (x == a) return t.FVal[j];
    if (a < x) {
      if (lower < 0 || a > t.AVal[lower]) lower = j;
    } else if (upper < 0 || a < t.AVal[upper]) {
      upper = j;
    }
  }
  if (upper < 0) {
    // Above the table: along the two highest distinct points.
    upper = lower;
    lower = -1;
    for (int32_t j = 0; j < n; ++j) {
      const double a = t.AVal[j];
      if (a < t.AVal[upper] && (lower < 0 || a > t.AVal[lower])) lower = j;
    }
    if (lower < 0) return t.FVal[upper];
  } else if (lower < 0) {
    // Below the table: along the two lowest distinct points.
    lower = upper;
    upper = -1;
    for (int32_t j = 0; j < n; ++j) {
      const double a = t.AVal[j];
      if (a > t.AVal[lower] && (upper < 0 || a < t.AVal[upper])) upper = j;
    }
    if (upper < 0) return t.FVal[lower];
  }
  return Line(x, t.AVal[lower], t.FVal[lower], t.AVal[upper], t.FVal[upper]);
}

}  // namespace

double CalibrateValue(double x, const CalibrationTable* table) {
  if (table == nullptr) return 0.0;
  const int32_t n = table->PointCount;
  if (n < 1 || n >= kMaxCalibrationPoints) return 0.0;
  if (!std::isfinite(x)) return kNoValue;
  double result;
  if (n == 1) {
    result = table->FVal[0];
  } else if (n == 2) {
    const double d = table->AVal[1] - table->AVal[0];
    result = d == 0 ? table->FVal[0]
                    : table->FVal[0] + (x - table->AVal[0]) * (table->FVal[1] - table->FVal[0]) / d;
  } else {
    result = Piecewise(x, *table);
  }
  return std::isfinite(result) ? result : kNoValue;
}

}  // namespace kalvix
