#include "app/startup.h"

#include "acquisition/control_thread.h"
#include "app/metrics_start.h"
#include "journal/event_log.h"

namespace kalvix {

bool RunStartupTick(ServiceState& s, const StartupHooks& hooks) {
  StartupState& st = s.startup;
  if (st.StartupBusy) return false;
  if (++st.StartupTick > 9) {
    st.StartupTick = 10;
    return true;
  }
  const Settings settings = s.SettingsSnapshot();
  switch (st.StartupTick) {
    case 2:
      if (settings.AutoHide) {
        PostEvent("## Скрытый режим ##");
        if (hooks.hideWindow) hooks.hideWindow();
      }
      break;
    case 5: {
      st.StartupBusy = true;
      LoadConfig(s, hooks.loadConfigTiming);
      const Settings loaded = s.SettingsSnapshot();
      if (hooks.showEmulatorPage) hooks.showEmulatorPage(loaded.ShowEmulTab);
      st.StartupBusy = false;
      if (hooks.configLoaded) hooks.configLoaded();
      s.signals.ResetAverages(loaded.AverageLen);
      // Here and not after tick 9: while the server is away the ticks come back to 5 under
      // AutoStart, and that is when the endpoint matters most.
      StartMetrics(s);
      break;
    }
    case 7:
      if (!s.db.user.Connected() && settings.AutoStart) {
        st.StartupTick = 3;  // two ticks later LoadConfig runs again
      } else if (s.db.user.Connected()) {
        if (hooks.showSettings) hooks.showSettings();
        if (hooks.fillEmulatorGrid) hooks.fillEmulatorGrid();
      }
      break;
    case 9:
      if (settings.AutoStart) {
        PostEvent("->> Автозапуск контроля аппаратуры <<--");
        StartControl(s.acquisition);
      }
      break;
    default:
      break;
  }
  return true;
}

}  // namespace kalvix
