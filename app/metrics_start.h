// Starting the metrics endpoint of the running service (monitor/): once per run, after the
// start-up has read the settings file, on the address of [main] MetricsListen. An empty
// value leaves it off; a value that is no address, or an address that cannot be bound,
// says so in the log and the service runs on without it.
#ifndef KALVIX_APP_METRICS_START_H_
#define KALVIX_APP_METRICS_START_H_

#include "app/program_version.h"
#include "app/service_state.h"

namespace kalvix {

// Starts the endpoint unless it was tried before in this run; the window thread's (or
// kalvixd's main thread's) start-up only.
void StartMetrics(ServiceState& s);

}  // namespace kalvix

#endif  // KALVIX_APP_METRICS_START_H_
