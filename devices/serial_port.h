// SerialPort: one serial line through termios, with the time-out semantics of PortTimeouts.
//
// Ownership and threads: one owner thread calls every member except Interrupt(), which any
// thread may call at any time to wake a wait in progress (a read, a write, a drain or a
// pause) at once; the wait then reports PortStatus::kInterrupted, and so does every later
// wait until the port is opened again. A port may also watch the service's stop request
// (WatchStop): while a stop is requested every wait ends at once as interrupted, so a stop
// reaches a thread wherever on the line it waits. Without either, every read and write still
// ends within its budget, and no budget is longer than kMaxPortWaitMs.
//
// Open is exclusive: TIOCEXCL keeps other (unprivileged) openers out, and a non-blocking
// flock on the device keeps out a second opener even when it runs as root, on real ports
// and on pseudo-terminals alike. The descriptor is O_NOCTTY and O_CLOEXEC.
//
// Until a link installs its own time-outs the port uses kDefaultPortTimeouts, so no read
// waits without bound.
#ifndef KALVIX_DEVICES_SERIAL_PORT_H_
#define KALVIX_DEVICES_SERIAL_PORT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "devices/port_timeouts.h"

namespace kalvix {

enum class PortStatus {
  kOk,
  kNotOpen,      // no device is open
  kInterrupted,  // Interrupt() was called
  kIoError,      // the device reported an error (e.g. the other end of a pty went away)
};

// The outcome of a read or a write: how many bytes moved, and whether the call failed.
// A read that delivers fewer bytes than asked (even none) within its budget is kOk.
struct PortIo {
  size_t count = 0;
  PortStatus status = PortStatus::kOk;
  bool Ok() const { return status == PortStatus::kOk; }
};

// How configuring the line went: reading the current settings or writing them back failed.
enum class LineResult { kOk, kReadFailed, kWriteFailed };

class SerialPort {
 public:
  SerialPort();
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the device for reading and writing, exclusively. A port already open is closed
  // first. Clears a pending Interrupt() and restores the default time-outs. False with the
  // system's reason in *error when the device is missing or held by someone else.
  bool Open(const std::filesystem::path& device, std::string* error = nullptr);
  // Releases the device (also its exclusive hold). Safe when nothing is open.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  const std::filesystem::path& Device() const { return device_; }

  void SetTimeouts(const PortTimeouts& timeouts) { timeouts_ = timeouts; }
  const PortTimeouts& Timeouts() const { return timeouts_; }

  // Reads the line settings, sets the speed (standard termios rates directly, any other
  // through termios2 BOTHER), 8 data bits, no parity, one stop bit, raw mode (no echo, no
  // line editing, no character translation) and XON/XOFF off in both directions, and writes
  // them back. With disableRts, RTS/CTS handshaking is switched off and RTS is dropped.
  // Every other setting (modem-line handshaking, DTR) stays as the driver reports it.
  LineResult SetLine(uint32_t speed, bool disableRts);
  // The output speed the driver reports, or nothing when it cannot be read.
  std::optional<uint32_t> LineSpeed() const;

  // Reads up to into.size() bytes within the read budget of the time-outs.
  PortIo Read(std::span<uint8_t> into);
  // Reads what has already arrived, up to into.size() bytes, without waiting.
  PortIo ReadAvailable(std::span<uint8_t> into);
  // Reads what has arrived, up to into.size() bytes, in one read; when nothing has, waits at
  // most `ms` (and at most kMaxPortWaitMs) for the first bytes and reads those. Whatever the
  // time-outs say. 0 bytes (kOk) when none came in time.
  PortIo ReadArrived(std::span<uint8_t> into, uint32_t ms);
  // Writes the bytes within the write budget; a short count means the budget ran out.
  PortIo Write(std::span<const uint8_t> bytes);
  // Waits until the driver has transmitted everything written, at most the write budget of
  // the bytes still queued. False on time-out, interrupt or error.
  bool Drain();
  // Discards bytes received and not yet read.
  bool DiscardInput();
  // Bytes received and not yet read (0 when closed or on error).
  size_t BytesWaiting() const;
  // Waits at most `ms` (and at most kMaxPortWaitMs) for a byte to arrive; true when one is
  // waiting.
  bool WaitReadable(uint32_t ms);
  // Sleeps `ms` (at most kMaxPortWaitMs), or less when interrupted or stopped; false then.
  bool Pause(uint32_t ms);

  // Any thread: wakes the wait in progress and fails every later wait until Open.
  void Interrupt();

  // Every wait also polls `fd` (-1: none) and ends as interrupted while it is readable: the
  // descriptor of the stop request (StopSignal::PollFd), readable exactly while a stop is
  // requested, so the port works again once the request is cleared. The descriptor must
  // outlive the port's use of it. Kept across Open and Close. Any thread.
  void WatchStop(int fd) { stopFd_.store(fd, std::memory_order_release); }

  // Whether a read or write has failed with an I/O error since the last Open: the device is
  // gone (a USB adapter pulled out, the far end of a line closed) and only opening the port
  // again can bring the line back. Any thread.
  bool LineFailed() const { return lineFailed_.load(std::memory_order_acquire); }

 private:
  enum class WaitResult { kReady, kTimeout, kInterrupted, kError };
  struct ReadPlan;  // how a read waits (serial_port.cpp)
  static ReadPlan PlanRead(const PortTimeouts& t, size_t n);
  PortIo ReadPlanned(std::span<uint8_t> into, const ReadPlan& plan);
  // Waits up to timeoutMs (at most kMaxPortWaitMs) for `events` on the port, or for an
  // interrupt or a stop.
  WaitResult Wait(short events, int64_t timeoutMs);
  bool InterruptPending() const;
  void ClearInterrupt();
  uint32_t CharTimeMicros() const;

  int fd_ = -1;
  int wakeFd_ = -1;              // eventfd, constant after construction; written by Interrupt()
  std::atomic<int> stopFd_{-1};  // see WatchStop
  std::atomic<bool> interrupted_{false};  // set by Interrupt(), cleared by Open
  std::atomic<bool> lineFailed_{false};   // set by an I/O error, cleared by Open
  PortStatus Failed() {
    lineFailed_.store(true, std::memory_order_release);
    return PortStatus::kIoError;
  }
  std::filesystem::path device_;
  PortTimeouts timeouts_ = kDefaultPortTimeouts;
  uint32_t speed_ = 9600;  // last speed set, for the drain estimate
};

}  // namespace kalvix

#endif  // KALVIX_DEVICES_SERIAL_PORT_H_
