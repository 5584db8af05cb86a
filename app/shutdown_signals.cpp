#include "app/shutdown_signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace kalvix {
namespace {

sigset_t ShutdownSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

// poll() takes an int of milliseconds: a long wait (StartTime may be any number of seconds)
// runs in parts of at most a minute, each toward the same deadline. True when fd turned
// readable (without fd, a sleep that never is).
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  using namespace std::chrono;
  constexpr long long kLongestPollMs = 60000;
  for (;;) {
    const auto now = steady_clock::now();
    const long long ms =
        deadline <= now ? 0
                        : duration_cast<milliseconds>(deadline - now + microseconds(999)).count();
    const int timeout = static_cast<int>(std::min(ms, kLongestPollMs));
    if (fd < 0) {
      std::this_thread::sleep_for(milliseconds(timeout));
    } else {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, timeout) > 0) return true;
    }
    if (ms <= kLongestPollMs) return false;
  }
}

}  // namespace

ShutdownSignals::ShutdownSignals() {
  const sigset_t set = ShutdownSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

ShutdownSignals::~ShutdownSignals() {
  if (fd_ >= 0) ::close(fd_);
}

int ShutdownSignals::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  while (WaitReadable(fd_, deadline)) {
    signalfd_siginfo info{};
    if (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      return static_cast<int>(info.ssi_signo);
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
  return 0;
}

bool ShutdownSignals::WaitPendingUntil(std::chrono::steady_clock::time_point deadline) const {
  return WaitReadable(fd_, deadline);
}

}  // namespace kalvix
