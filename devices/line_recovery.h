// Bringing a link back after its line failed with an I/O error, as when a USB serial adapter
// is pulled out and plugged back in: the port is closed at once, and the poller tries to open
// it again before each of its passes until the device is back under the same name. The
// pollers own this; it runs on the poller's thread, the only one using the link then.
#ifndef KALVIX_DEVICES_LINE_RECOVERY_H_
#define KALVIX_DEVICES_LINE_RECOVERY_H_

#include <cstdint>

#include "devices/modbus_io.h"
#include "devices/vision_link.h"

namespace kalvix {

class ModbusLineRecovery {
 public:
  explicit ModbusLineRecovery(TModBUS* link) : link_(link) {}
  // Before a pass: closes a failed line, or tries to reopen a lost one. True when the line is
  // usable (or there is nothing to recover).
  bool BeforePass();
  bool Lost() const { return lost_; }

 private:
  TModBUS* const link_;
  bool lost_ = false;
  int32_t speed_ = 0;
};

class VisionLineRecovery {
 public:
  explicit VisionLineRecovery(TVisionLink& link) : link_(link) {}
  bool BeforePass();
  bool Lost() const { return lost_; }

 private:
  TVisionLink& link_;
  bool lost_ = false;
};

}  // namespace kalvix

#endif  // KALVIX_DEVICES_LINE_RECOVERY_H_
