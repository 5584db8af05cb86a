// Bringing a link back after its line failed with an I/O error, as when a USB serial adapter
// is pulled out and plugged back in: the port is closed at once, and the poller tries to open
// it again before each of its passes until the device is back under the same name. The
// pollers own this; it runs on the poller's thread, the only one using the link then. Each
// line opened again counts one reopening in the ledger of every module on it.
#ifndef KALVIX_DEVICES_LINE_RECOVERY_H_
#define KALVIX_DEVICES_LINE_RECOVERY_H_

#include <cstdint>

#include "devices/bus_ledger.h"
#include "devices/modbus_io.h"
#include "devices/vision_link.h"

namespace kalvix {

class ModbusLineRecovery {
 public:
  // The line of both JUMO controllers: a reopening counts for JUMO 1 and JUMO 2.
  ModbusLineRecovery(TModBUS* link, BusLedgers& ledgers) : link_(link), ledgers_(ledgers) {}
  // Before a pass: closes a failed line, or tries to reopen a lost one. True when the line is
  // usable (or there is nothing to recover).
  bool BeforePass();
  bool Lost() const { return lost_; }

 private:
  TModBUS* const link_;
  BusLedgers& ledgers_;
  bool lost_ = false;
  int32_t speed_ = 0;
};

class VisionLineRecovery {
 public:
  VisionLineRecovery(TVisionLink& link, BusLedger& ledger) : link_(link), ledger_(ledger) {}
  bool BeforePass();
  bool Lost() const { return lost_; }

 private:
  TVisionLink& link_;
  BusLedger& ledger_;
  bool lost_ = false;
};

}  // namespace kalvix

#endif  // KALVIX_DEVICES_LINE_RECOVERY_H_
