// The computing stages of the acquisition cycle. Each runs on the control thread, catches its
// own faults, posts "!!! Ошибка в функции <name>() !!!" and returns false on a fault.
#ifndef KALVIX_ACQUISITION_STAGES_H_
#define KALVIX_ACQUISITION_STAGES_H_

#include "persistence/plant_constants.h"
#include "plant/setpoints.h"
#include "plant/signal_set.h"
#include "util/date_time.h"

namespace kalvix {

// Raw readings to physical values through each "READ" signal's calibration, then the
// instantaneous RAB and RN. A reading that is not a number gives NaN ("no value"). The value
// sets are stamped with now.
bool TranslateIn(SignalSet& set, const PlantConstants& limits, DateTime now = Now());

// Moving averages of the "READ" signals (but G_1T1), counters passed through, the averaged
// RAB and RN, and the set-points placed into "_PLSZ" and "_TNZ". A NaN instantaneous value
// is not fed to the average, so one bad reading cannot spoil the mean for a whole run.
bool CalcWorks(SignalSet& set, const PlantConstants& limits, const Setpoints& setpoints,
               DateTime now = Now());

}  // namespace kalvix

#endif  // KALVIX_ACQUISITION_STAGES_H_
