#include "persistence/server_wait.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

namespace kalvix {
namespace {

// The current thread's interrupting descriptors: the scopes' own, innermost last.
struct ThreadInterrupts {
  std::array<int, kMaxServerWaitInterrupts> fds{};
  int count = 0;
};

thread_local ThreadInterrupts tInterrupts;

bool AnyReadable(pollfd* entries, int count) {
  for (int i = 0; i < count; ++i) {
    if ((entries[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0) return true;
  }
  return false;
}

}  // namespace

ServerWaitInterrupts::ServerWaitInterrupts(std::initializer_list<int> fds)
    : outer_(tInterrupts.count) {
  for (int fd : fds) {
    if (fd >= 0 && tInterrupts.count < kMaxServerWaitInterrupts) {
      tInterrupts.fds[tInterrupts.count++] = fd;
    }
  }
}

ServerWaitInterrupts::~ServerWaitInterrupts() { tInterrupts.count = outer_; }

bool ServerWaitInterrupted() {
  const int count = tInterrupts.count;
  if (count <= 0) return false;
  std::array<pollfd, kMaxServerWaitInterrupts> entries{};
  for (int i = 0; i < count; ++i) entries[i] = {tInterrupts.fds[i], POLLIN, 0};
  if (::poll(entries.data(), static_cast<nfds_t>(count), 0) <= 0) return false;
  return AnyReadable(entries.data(), count);
}

int WaitForServerSocket(int socket, char isRead, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  std::array<pollfd, kMaxServerWaitInterrupts + 1> entries{};
  entries[0] = {socket, static_cast<short>(isRead ? POLLIN : POLLOUT), 0};
  const int count = tInterrupts.count;
  for (int i = 0; i < count; ++i) entries[i + 1] = {tInterrupts.fds[i], POLLIN, 0};
  const bool bounded = timeoutMs > 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = -1;
    if (bounded) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    const int ready = ::poll(entries.data(), static_cast<nfds_t>(count) + 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ready;
    // The socket first: an answer that came with the stop is still taken.
    if (entries[0].revents != 0) return 1;
    if (ready > 0 && AnyReadable(entries.data() + 1, count)) {
      errno = EINTR;
      return 0;
    }
    if (ready == 0) {
      errno = ETIMEDOUT;
      return 0;
    }
  }
}

ServerDeadline::ServerDeadline() : fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)) {}

ServerDeadline::~ServerDeadline() {
  if (fd_ >= 0) ::close(fd_);
}

void ServerDeadline::Set(std::chrono::steady_clock::time_point at) {
  if (fd_ < 0) return;
  // The steady clock is CLOCK_MONOTONIC; a zero expiry would disarm the timer, so the
  // earliest moment set is one nanosecond.
  const auto ns = std::max<int64_t>(
      1, std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count());
  itimerspec expiry{};
  expiry.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  expiry.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  ::timerfd_settime(fd_, TFD_TIMER_ABSTIME, &expiry, nullptr);
}

}  // namespace kalvix
