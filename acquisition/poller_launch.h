// Starting the three pollers from the control thread, and the priority of the workers.
#ifndef KALVIX_ACQUISITION_POLLER_LAUNCH_H_
#define KALVIX_ACQUISITION_POLLER_LAUNCH_H_

#include "acquisition/acquisition.h"

namespace kalvix {

// Starts the V120, JUMO and BK-003 pollers, in this order, each with the settings it needs.
// A poller whose previous copy still runs returns at once and the old one serves on.
void LaunchPollers(const Acquisition& s, const Settings& settings);

}  // namespace kalvix

#endif  // KALVIX_ACQUISITION_POLLER_LAUNCH_H_
