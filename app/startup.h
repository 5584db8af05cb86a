// The start-up ticks: the first ticks of the 250 ms status timer hide the window (tick 2),
// load the settings and the signal set and start the metrics endpoint (tick 5), fill the
// settings page (tick 7) and start acquisition when AutoStart is set (tick 9). The window
// supplies what only it can do; the headless program leaves those hooks empty.
#ifndef KALVIX_APP_STARTUP_H_
#define KALVIX_APP_STARTUP_H_

#include <functional>

#include "app/load_config.h"
#include "app/service_state.h"

namespace kalvix {

struct StartupHooks {
  std::function<void()> hideWindow;
  std::function<void(bool)> showEmulatorPage;
  std::function<void()> configLoaded;  // after tick 5's LoadConfig: the editors fill up
  std::function<void()> showSettings;
  std::function<void()> fillEmulatorGrid;
  LoadConfigTiming loadConfigTiming;
};

// One tick. False when the tick must do nothing else (LoadConfig is running); true when the
// caller goes on to refresh the status display.
bool RunStartupTick(ServiceState& s, const StartupHooks& hooks);

}  // namespace kalvix

#endif  // KALVIX_APP_STARTUP_H_
