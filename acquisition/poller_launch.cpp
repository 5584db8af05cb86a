#include "acquisition/poller_launch.h"

#include "devices/bk003_poller.h"
#include "devices/jumo_poller.h"
#include "devices/v120_poller.h"
#include "plant/thread_entry.h"

namespace kalvix {

void LaunchPollers(const Acquisition& s, const Settings& settings) {
  const bool v120ReadRuns = settings.V120ReadRuns;
  s.workers.Start(kThreadNameV120, [&s, v120ReadRuns] {
    V120PollerEntry({s.control, s.signals, s.setpoints, s.pollerCounters, s.VisionLink,
                     s.busLedgers, v120ReadRuns});
  });
  s.workers.Start(kThreadNameJumo, [&s] {
    JumoPollerEntry(
        {s.control, s.signals, s.setpoints, s.pollerCounters, &s.ModbusLink, s.busLedgers});
  });
  Bk003PollerSettings bk;
  bk.portName = settings.VK_PortName;
  bk.speed = settings.VK_PortSpeed;
  bk.deviceNum = settings.VK_device_num;
  bk.bkk23Mask = settings.bkk23_mask;
  bk.setTimeouts = settings.set_timeouts;
  bk.workDir = s.workDir;
  s.workers.Start(kThreadNameBk003, [&s, bk] {
    Bk003PollerEntry({s.control, s.signals, s.pollerCounters, s.busLedgers}, bk);
  });
}

}  // namespace kalvix
