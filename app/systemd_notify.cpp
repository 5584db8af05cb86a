#include "app/systemd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
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

// The notification protocol of sd_notify(3), written here rather than linking libsystemd:
// it is one datagram of "KEY=VALUE" lines to the AF_UNIX socket that NOTIFY_SOCKET names, a
// path or, with a leading '@', an abstract name. The library, with the compression and
// cryptography libraries it loads, was about 0.9 MB of the service's resident memory for
// these few lines. systemd learns the sender from the socket's credentials, as from
// sd_notify(0, ...).
void NotifySocket(const std::string& state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || (name[0] != '/' && name[0] != '@')) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(name);
  if (length < 2 || length >= sizeof(address.sun_path)) return;
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';
  const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // A notice that cannot be sent is dropped, as sd_notify's failures were.
  (void)::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), addressLength);
  ::close(fd);
}

// A decimal number and nothing else; false for a sign, blanks or an overflow.
bool ParseUnsigned(const char* text, uint64_t& value) {
  if (text == nullptr || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

// sd_watchdog_enabled(3): the interval systemd expects pings at, when WATCHDOG_USEC is set
// (and above zero) and WATCHDOG_PID, where present, names this process; zero otherwise.
uint64_t WatchdogUsecForThisProcess() {
  uint64_t usec = 0;
  if (!ParseUnsigned(std::getenv("WATCHDOG_USEC"), usec) || usec == 0) return 0;
  if (const char* pidText = std::getenv("WATCHDOG_PID"); pidText != nullptr) {
    uint64_t pid = 0;
    if (!ParseUnsigned(pidText, pid) || pid != static_cast<uint64_t>(::getpid())) return 0;
  }
  return usec;
}

}  // namespace

SystemdNotifier::SystemdNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  enabled_ = socket != nullptr && socket[0] != '\0';
  if (!enabled_) return;
  // The environment stays as it is: every later notice reads NOTIFY_SOCKET again.
  watchdog_ = std::chrono::microseconds(WatchdogUsecForThisProcess());
}

void SystemdNotifier::Send(const std::string& state) {
  if (enabled_) NotifySocket(state);
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
