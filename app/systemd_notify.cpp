#include "app/systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace kalvix {
namespace {

constexpr auto kStatusInterval = std::chrono::milliseconds(250);
// The start-up tick after which acquisition has been started (or left off): the service is up.
constexpr int kLastStartupTick = 9;
constexpr auto kShortestPing = std::chrono::milliseconds(10);

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string CurrentStatus(ServiceState& s) {
  const ControlState& c = s.control;
  const bool active = c.ControlActive.load();
  // While acquisition runs the work connection shows the server; stopped, it is closed on
  // purpose and the user connection says whether the server is there.
  return ServiceStatusText(active, c.CycleCounter.load(), c.ErrorCounter.load(),
                           active ? s.db.work.Connected() : s.db.user.Connected());
}

}  // namespace

SystemdNotifier::SystemdNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  enabled_ = socket != nullptr && socket[0] != '\0';
  if (!enabled_) return;
  uint64_t usec = 0;
  // The environment stays as it is: every later sd_notify reads NOTIFY_SOCKET again.
  if (sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
}

void SystemdNotifier::Send(const std::string& state) {
  if (enabled_) sd_notify(0, state.c_str());
}

void SystemdNotifier::Ready(const std::string& status) { Send("READY=1\nSTATUS=" + status); }

void SystemdNotifier::Status(const std::string& status) { Send("STATUS=" + status); }

void SystemdNotifier::Stopping() { Send("STOPPING=1\nSTATUS=завершение работы"); }

void SystemdNotifier::Watchdog() { Send("WATCHDOG=1"); }

std::string ServiceStatusText(bool controlActive, int32_t cycles, int32_t errors,
                              bool databaseConnected) {
  std::string text = controlActive
                         ? "цикл " + std::to_string(cycles) + ", ошибок " + std::to_string(errors)
                         : std::string("прием остановлен");
  text += databaseConnected ? ", MySQL на связи" : ", MySQL нет связи";
  return text;
}

ControlLiveness::ControlLiveness(int64_t nowNs) : lastSeenStoppedNs_(nowNs) {}

bool ControlLiveness::Alive(bool controlActive, int64_t cycleStartNs, int64_t nowNs) {
  if (!controlActive) {
    // Acquisition stopped (or never started): the main loop, which pings, is alive.
    lastSeenStoppedNs_ = nowNs;
    firstSeenRunningNs_.reset();
    return true;
  }
  if (!firstSeenRunningNs_) firstSeenRunningNs_ = nowNs;
  if (cycleStartNs > lastSeenStoppedNs_) {
    return nowNs - cycleStartNs <= std::chrono::nanoseconds(kCycleBound).count();
  }
  // No cycle of this run yet; CycleStartNs still holds the previous run's.
  return nowNs - *firstSeenRunningNs_ <= std::chrono::nanoseconds(kStartBound).count();
}

std::vector<PeriodicJob> SystemdJobs(ServiceState& s, SystemdNotifier& notifier) {
  std::vector<PeriodicJob> jobs;
  if (!notifier.Enabled()) return jobs;

  struct Announced {
    bool ready = false;
    std::string status;
  };
  auto announced = std::make_shared<Announced>();
  jobs.push_back({"SystemdStatus", kStatusInterval, [&s, &notifier, announced] {
                    const bool up = s.startup.StartupTick >= kLastStartupTick;
                    // While the start-up waits for the server, systemctl status says so.
                    std::string status =
                        up ? CurrentStatus(s)
                           : std::string("запуск") +
                                 (s.db.user.Connected() ? ", MySQL на связи" : ", MySQL нет связи");
                    if (up && !announced->ready) {
                      announced->ready = true;
                      announced->status = std::move(status);
                      notifier.Ready(announced->status);
                    } else if (status != announced->status) {
                      announced->status = std::move(status);
                      notifier.Status(announced->status);
                    }
                  }});

  if (notifier.WatchdogInterval().count() > 0) {
    const auto half = std::max<std::chrono::milliseconds>(
        kShortestPing,
        std::chrono::duration_cast<std::chrono::milliseconds>(notifier.WatchdogInterval() / 2));
    auto liveness = std::make_shared<ControlLiveness>(SteadyNowNs());
    jobs.push_back(
        {"SystemdWatchdog", half, [&s, &notifier, announced, liveness] {
           // Before READY=1 the unit's start time-out bounds the start; a ping would arm the
           // watchdog while the settings load may still be waiting for the server.
           if (!announced->ready) return;
           const ControlState& c = s.control;
           if (liveness->Alive(c.ControlActive.load(), c.CycleStartNs.load(), SteadyNowNs())) {
             notifier.Watchdog();
           }
         }});
  }
  return jobs;
}

}  // namespace kalvix
