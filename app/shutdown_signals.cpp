#include "app/shutdown_signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

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
  using namespace std::chrono;
  const auto now = steady_clock::now();
  const long long ms =
      deadline <= now ? 0 : duration_cast<milliseconds>(deadline - now + microseconds(999)).count();
  if (fd_ < 0) {
    std::this_thread::sleep_for(milliseconds(ms));
    return 0;
  }
  pollfd p{fd_, POLLIN, 0};
  const int timeout = static_cast<int>(std::min<long long>(ms, 60000));
  if (::poll(&p, 1, timeout) <= 0) return 0;
  signalfd_siginfo info{};
  if (::read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}

}  // namespace kalvix
