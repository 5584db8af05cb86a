// LoadConfig: start-up's reading of the settings file, connecting the user connection (up to
// 16 attempts a second apart) and loading the signal set. Window thread; never fails to the
// caller: what goes wrong is posted. The end of the program ends it at once, also in the middle
// of an attempt (LoadConfigTiming::ending and attempt).
#ifndef KALVIX_APP_LOAD_CONFIG_H_
#define KALVIX_APP_LOAD_CONFIG_H_

#include <chrono>
#include <functional>

#include "app/service_state.h"

namespace kalvix {

struct LoadConfigTiming {
  int attempts = 16;
  std::chrono::milliseconds retryPause{1000};  // after each failed attempt
  std::chrono::milliseconds settle{1000};      // before the signal set is loaded, unless
                                               // [MySQL] SettleMs says otherwise
  std::chrono::milliseconds workersBound{3000};  // for workers of an earlier run to end
  // How the pauses are spent; empty sleeps. The window keeps serving its events meanwhile. A
  // pause should end as soon as `ending` holds.
  std::function<void(std::chrono::milliseconds)> pause;
  // Whether the program is to end (a shutdown signal, the operator's "Закрыть"); asked before
  // and after every attempt and pause. Once it holds LoadConfig returns: the settings stay as
  // the file gave them (AutoStart included, which a failed load turns off) and nothing more is
  // tried or loaded. Empty: never.
  std::function<bool()> ending;
  // How one connection attempt runs; empty: on the calling thread, whose waits on the server
  // must then end by themselves when the program is to end (kalvixd's end on its shutdown
  // signals, server_wait.h). The window runs it on a helper thread and serves its events.
  std::function<void(const std::function<void()>&)> attempt;
};

// Waits up to `bound` for the control thread and the pollers to leave; true when none runs.
// The signal set may be replaced only then.
bool WaitForAcquisitionToEnd(ServiceState& s, std::chrono::milliseconds bound);

void LoadConfig(ServiceState& s, const LoadConfigTiming& timing = {});

// The user connection's after-connect task: primes the minute history's counters.
void SQLConnectionUserAfterConnect(ServiceState& s);

}  // namespace kalvix

#endif  // KALVIX_APP_LOAD_CONFIG_H_
