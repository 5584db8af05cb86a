// Calibration: how a raw device reading becomes a physical value. Each signal carries a
// table of points (hardware value AVal, physical value FVal), loaded in ascending AVal order;
// between points the value is interpolated, beyond the ends extrapolated along the outermost
// segment.
#ifndef KALVIX_PLANT_CALIBRATION_H_
#define KALVIX_PLANT_CALIBRATION_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kalvix {

inline constexpr int32_t kMaxCalibrationPoints = 512;

// One column of a table's points. It reads like the fixed array of kMaxCalibrationPoints zeros
// the design had (an index never written reads 0), but stores only up to the highest index
// written: a plant's tables have a handful of points, and 100 signals of two 512-point arrays
// were 800 kB of the service's own memory, most of its heap.
class CalibrationPoints {
 public:
  // Indexes 0 to kMaxCalibrationPoints - 1; writing one stores every index below it too.
  double& operator[](size_t i) {
    if (i >= values_.size()) values_.resize(i + 1, 0.0);
    return values_[i];
  }
  double operator[](size_t i) const { return i < values_.size() ? values_[i] : 0.0; }

 private:
  std::vector<double> values_;
};

struct CalibrationTable {
  int32_t PointCount = 0;
  CalibrationPoints AVal;
  CalibrationPoints FVal;
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
