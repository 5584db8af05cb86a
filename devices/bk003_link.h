// Bk003Link: the port of the BK-003 belt-weigher controller (BkPort) and its exchange:
// the 3-byte request and the 14-byte answer (devices/bk003_frame.h). The BK-003 poller owns
// the link, opens the port itself and retries; this class does one open or one exchange per
// call and leaves counting and pacing to the poller.
//
// Every read is bounded: when the set_timeouts setting is off the port gets the default
// time-out set instead of whatever the driver had, under which a silent device could hold
// the read, and with it the poller's stop, without end. A site's time-out file may still set
// a long budget, but never one beyond kMaxPortWaitMs; Interrupt() and a watched stop request
// cut such a read short.
//
// Threads: one owner thread (the BK-003 poller) calls every member except Interrupt() and
// WatchStop(), which any thread may call.
#ifndef KALVIX_DEVICES_BK003_LINK_H_
#define KALVIX_DEVICES_BK003_LINK_H_

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "devices/bk003_frame.h"
#include "devices/bus_exchange.h"
#include "devices/serial_port.h"

namespace kalvix {

enum class BkExchangeResult {
  kOk,           // 14 bytes came and were decoded
  kNotOpen,      // BkPort is empty
  kWriteFailed,  // the request did not go out whole
  kReadFailed,   // the read call itself failed (I/O error, interrupt)
  kShortAnswer,  // fewer than 14 bytes within the read time-outs
};

class Bk003Link {
 public:
  // workDir: the folder of the per-port time-out files. setTimeouts: the set_timeouts
  // setting; on, the port's time-out file applies, off, the default set.
  Bk003Link(std::filesystem::path workDir, bool setTimeouts);
  Bk003Link(const Bk003Link&) = delete;
  Bk003Link& operator=(const Bk003Link&) = delete;

  // Opens portName at speed and stores the port in BkPort; a port held before is released
  // first. On any failure BkPort is left empty, so the poller's next pass opens again.
  // Failures are silent except the wrong speed and an unreadable port state, which are
  // posted as events.
  bool BkOpenPort(std::string_view portName, int32_t speed);

  // BkPort holds an open port.
  bool IsOpen() const { return port_.IsOpen(); }

  // Releases BkPort and clears it.
  void Close() { port_.Close(); }

  // Discards received input, sends the request with the low byte of deviceNum and reads up
  // to 14 bytes in one read within the port's read time-outs. On kOk *readings holds the
  // decoded answer; otherwise it is unchanged.
  BkExchangeResult Exchange(int32_t deviceNum, int32_t bkk23Mask, BkReadings* readings);

  // How the last Exchange ended on the line, for the bus ledger (devices/bus_exchange.h).
  // The device sends no checksum, address or echo, so its faults are only silence (kTimeout),
  // an answer cut short (kIncomplete) and the line's own (kIoError); a write or read that was
  // interrupted, or no port, is not counted.
  const BusExchange& LastExchange() const { return last_; }

  // Any thread: ends the owner's read or write in progress, and every later one until the
  // port is opened again.
  void Interrupt() { port_.Interrupt(); }

  // The stop request's descriptor: while a stop is requested every wait of the exchange ends
  // at once (see SerialPort::WatchStop).
  void WatchStop(int fd) { port_.WatchStop(fd); }

  // The time-outs the port reads with (for the status display and tests).
  const PortTimeouts& Timeouts() const { return port_.Timeouts(); }

 private:
  // Constant after construction.
  const std::filesystem::path workDir_;
  const bool setTimeouts_;

  SerialPort port_;  // BkPort
  BusExchange last_;
};

}  // namespace kalvix

#endif  // KALVIX_DEVICES_BK003_LINK_H_
