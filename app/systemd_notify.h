// What kalvixd tells systemd when the unit runs it as Type=notify: READY=1 once the start-up
// ticks have run, a STATUS= line with the cycles, the errors and the database, STOPPING=1 when
// the shutdown begins, and WATCHDOG=1 only while the service is alive as a whole.
//
// Without NOTIFY_SOCKET in the environment (started by hand, by a test, by the window) the
// notifier is off: no job is added and nothing is sent.
//
// "Alive" means the control thread's cycles still begin; while acquisition does not run (not
// started, or stopped), the main loop that sends the ping is all that has to live. A control
// thread that hangs thus stops the pings and systemd restarts the service after WatchdogSec.
#ifndef KALVIX_APP_SYSTEMD_NOTIFY_H_
#define KALVIX_APP_SYSTEMD_NOTIFY_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/service_jobs.h"
#include "app/service_state.h"

namespace kalvix {

class SystemdNotifier {
 public:
  // Reads NOTIFY_SOCKET and the watchdog's interval (WATCHDOG_USEC, for this process when
  // WATCHDOG_PID is set). Build it on the main thread before other threads start.
  SystemdNotifier();

  bool Enabled() const { return enabled_; }
  // Zero when systemd watches no ping.
  std::chrono::microseconds WatchdogInterval() const { return watchdog_; }

  void Ready(const std::string& status);
  void Status(const std::string& status);
  void Stopping();
  void Watchdog();

 private:
  void Send(const std::string& state);

  bool enabled_ = false;
  std::chrono::microseconds watchdog_{0};
};

// The STATUS= text: "цикл 1234, ошибок 3, MySQL на связи" while acquisition runs (the work
// connection), "прием остановлен, MySQL нет связи" while it does not (the user connection).
std::string ServiceStatusText(bool controlActive, int32_t cycles, int32_t errors,
                              bool databaseConnected);

// Decides, each time the watchdog ping is due, whether the control thread is alive. Its cycles
// are alive while the latest one began within kCycleBound. Before the first cycle of a run the
// start (the work connection's attempts, the plant constants, the ports) may take far longer,
// up to kStartBound from the moment the thread was first seen running. Main thread only.
class ControlLiveness {
 public:
  static constexpr std::chrono::milliseconds kCycleBound{3 * kCyclePeriodMs};
  static constexpr std::chrono::seconds kStartBound{90};

  // nowNs and cycleStartNs are steady-clock nanoseconds, as ControlState::CycleStartNs.
  explicit ControlLiveness(int64_t nowNs);
  bool Alive(bool controlActive, int64_t cycleStartNs, int64_t nowNs);

 private:
  int64_t lastSeenStoppedNs_;                  // a cycle that began later belongs to this run
  std::optional<int64_t> firstSeenRunningNs_;  // this run's, while the thread runs
};

// The jobs of the main loop that speak to systemd: READY=1 and STATUS= every 250 ms (sent when
// the text changes, so about once per cycle; "запуск, MySQL нет связи" before READY=1), and the
// watchdog ping at half its interval from READY=1 on. None when the notifier is off.
std::vector<PeriodicJob> SystemdJobs(ServiceState& s, SystemdNotifier& notifier);

}  // namespace kalvix

#endif  // KALVIX_APP_SYSTEMD_NOTIFY_H_
