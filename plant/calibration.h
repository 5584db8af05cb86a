// Calibration: how a raw device reading becomes a physical value. Each signal carries a
// table of points (hardware value AVal, physical value FVal), loaded in ascending AVal order;
// between points the value is interpolated, beyond the ends extrapolated along the outermost
// segment.
#ifndef KALVIX_PLANT_CALIBRATION_H_
#define KALVIX_PLANT_CALIBRATION_H_

#include <array>
#include <cstdint>

namespace kalvix {

inline constexpr int32_t kMaxCalibrationPoints = 512;

struct CalibrationTable {
  int32_t PointCount = 0;
  std::array<double, kMaxCalibrationPoints> AVal{};
  std::array<double, kMaxCalibrationPoints> FVal{};
};

// The physical value of raw reading x. No table, or a table of 0 or 512 and more points,
// gives 0; one point gives its FVal; two points the line through them (FVal[0] when they
// share AVal); more points piecewise-linear, the first of equal points winning.
// A reading that is not a finite number, or a result that overflows, gives NaN: there is no
// physical value to give, and NaN is what the later stages recognise as "no value" (the
// database gets NULL, the moving average skips it).
double CalibrateValue(double x, const CalibrationTable* table);

}  // namespace kalvix

#endif  // KALVIX_PLANT_CALIBRATION_H_
