// The thresholds of the plant-state signals, read from the `setup` table when the control
// thread starts: RAB is 1 while the density exceeds MIN_PLS, RN while the plant also runs
// under a load above MIN_NAGR.
#ifndef KALVIX_ACQUISITION_PLANT_LIMITS_H_
#define KALVIX_ACQUISITION_PLANT_LIMITS_H_

#include <atomic>

namespace kalvix {

struct PlantLimits {
  std::atomic<double> MIN_PLS{0};
  std::atomic<double> MIN_NAGR{0};
};

}  // namespace kalvix

#endif  // KALVIX_ACQUISITION_PLANT_LIMITS_H_
