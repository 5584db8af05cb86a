// BusExchange: how one exchange on an instrument line ended, as the link that made it saw
// it, so that the poller can book it in its module's BusLedger. The links fill it from what
// their frame checks and the serial port already tell; nothing here touches the line.
//
// Round-trip, on every link: from the moment the link hands the request's first byte to the
// port (just before the write) to the moment it has taken the reply's last byte off the line,
// both read on the steady clock. It is what the exchange cost the line, including whatever
// the link itself waits in between: the Modbus master does not listen during its turnaround
// after a request (TModBUS::kTurnaroundMs), so a JUMO controller that answers sooner shows as
// that turnaround plus the reading of its reply, and one that answers later shows its own
// delay plus the reading.
#ifndef KALVIX_DEVICES_BUS_EXCHANGE_H_
#define KALVIX_DEVICES_BUS_EXCHANGE_H_

#include <chrono>
#include <cstdint>

#include "devices/bus_ledger.h"

namespace kalvix {

struct BusExchange {
  enum class End : uint8_t {
    kNotCounted,  // nothing went on the line, or this side ended the exchange (a stop, a close)
    kGood,
    kFault,
  };
  End end = End::kNotCounted;
  BusFault fault = BusFault::kTimeout;     // for kFault
  std::chrono::microseconds roundTrip{0};  // for kGood

  static BusExchange Good(std::chrono::microseconds roundTrip) {
    return {End::kGood, BusFault::kTimeout, roundTrip};
  }
  static BusExchange Fault(BusFault fault) { return {End::kFault, fault, {}}; }
};

// The round-trip between the request's write and the reply's last byte (see above).
inline std::chrono::microseconds RoundTripSince(std::chrono::steady_clock::time_point sent) {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               sent);
}

// Books one exchange; one not counted leaves the ledger as it is.
inline void RecordExchange(BusLedger& ledger, const BusExchange& exchange) {
  switch (exchange.end) {
    case BusExchange::End::kGood:
      ledger.RecordGood(exchange.roundTrip);
      return;
    case BusExchange::End::kFault:
      ledger.RecordFault(exchange.fault);
      return;
    case BusExchange::End::kNotCounted:
      return;
  }
}

}  // namespace kalvix

#endif  // KALVIX_DEVICES_BUS_EXCHANGE_H_
