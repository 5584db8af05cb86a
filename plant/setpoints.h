// The operator's task: the density and load set-points and the flags that hand them to the
// pollers. The control thread applies new tasks; the window thread may set the values when
// the operator enters a task; the JUMO and V120 pollers clear the write flags. Every field is
// atomic for that reason.
#ifndef KALVIX_PLANT_SETPOINTS_H_
#define KALVIX_PLANT_SETPOINTS_H_

#include <atomic>
#include <cstdint>

#include "util/date_time.h"

namespace kalvix {

struct Setpoints {
  std::atomic<double> PlszSetpoint{0};  // suspension density
  std::atomic<double> TnzSetpoint{0};   // plant load, t/h
  std::atomic<DateTime> LastTaskTime{0};  // RecMoment of the last task applied
  std::atomic<bool> JumoWritePending{false};
  std::atomic<int32_t> JumoWriteCountdown{0};
  std::atomic<bool> TnzWritePending{false};
};

}  // namespace kalvix

#endif  // KALVIX_PLANT_SETPOINTS_H_
