// LoadConfig: start-up's reading of the settings file, connecting the user connection (up to
// 16 attempts a second apart) and loading the signal set. Window thread; never fails to the
// caller: what goes wrong is posted.
#ifndef KALVIX_APP_LOAD_CONFIG_H_
#define KALVIX_APP_LOAD_CONFIG_H_

#include <chrono>
#include <functional>

#include "app/service_state.h"

namespace kalvix {

struct LoadConfigTiming {
  int attempts = 16;
  std::chrono::milliseconds retryPause{1000};  // after each failed attempt
  std::chrono::milliseconds settle{1000};      // before the signal set is loaded
  std::chrono::milliseconds workersBound{3000};  // for workers of an earlier run to end
  // How the pauses are spent; empty sleeps. The window keeps serving its events meanwhile.
  std::function<void(std::chrono::milliseconds)> pause;
};

// Waits up to `bound` for the control thread and the pollers to leave; true when none runs.
// The signal set may be replaced only then.
bool WaitForAcquisitionToEnd(ServiceState& s, std::chrono::milliseconds bound);

void LoadConfig(ServiceState& s, const LoadConfigTiming& timing = {});

// The user connection's after-connect task: primes the minute history's counters.
void SQLConnectionUserAfterConnect(ServiceState& s);

}  // namespace kalvix

#endif  // KALVIX_APP_LOAD_CONFIG_H_
