// SIGTERM, SIGINT and SIGHUP as events the main loop can wait for, without a signal handler
// or a global flag: the signals are blocked in every thread and read from a signalfd.
//
// Construct it on the main thread before any other thread starts, so that every thread
// inherits the blocked mask and the signals are delivered only through the descriptor.
#ifndef KALVIX_APP_SHUTDOWN_SIGNALS_H_
#define KALVIX_APP_SHUTDOWN_SIGNALS_H_

#include <chrono>

namespace kalvix {

class ShutdownSignals {
 public:
  ShutdownSignals();
  ~ShutdownSignals();
  ShutdownSignals(const ShutdownSignals&) = delete;
  ShutdownSignals& operator=(const ShutdownSignals&) = delete;

  // Waits until the deadline or a shutdown signal. Returns the signal number, or 0 when the
  // deadline came first (or the descriptor could not be made, in which case it just sleeps).
  int WaitUntil(std::chrono::steady_clock::time_point deadline);

  // A signal that has already arrived, without waiting; 0 when none.
  int Poll() { return WaitUntil(std::chrono::steady_clock::time_point::min()); }

  // Whether a shutdown signal has arrived and waits unread; it is not taken, so WaitUntil and
  // Poll still return it. For the start-up's waits, which must end on a signal and leave it
  // to the main loop.
  bool Pending() const { return WaitPendingUntil(std::chrono::steady_clock::time_point::min()); }
  // Sleeps until `deadline` or until a shutdown signal waits unread (true), without taking it.
  bool WaitPendingUntil(std::chrono::steady_clock::time_point deadline) const;

  // Readable exactly while a shutdown signal waits unread, for a poll() of another wait (the
  // waits on the database server, server_wait.h); -1 when the descriptor could not be made.
  int PollFd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace kalvix

#endif  // KALVIX_APP_SHUTDOWN_SIGNALS_H_
