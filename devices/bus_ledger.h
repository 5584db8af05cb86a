// BusLedger: what one polled module's line has been doing, for the window's module panel and
// the metrics endpoint. The poller that talks to the module records every exchange: how long
// the device took to answer, or why it failed. Reopenings of the line are counted where the
// line is brought back.
//
// Threads: one writer per module (its poller's thread); any thread reads. Every field is a
// relaxed atomic, so recording costs a few uncontended stores and never waits. A reader sees
// each counter exactly; the round-trip window may mix the samples of two exchanges that
// happened while it was copied, which is harmless for a percentile.
#ifndef KALVIX_DEVICES_BUS_LEDGER_H_
#define KALVIX_DEVICES_BUS_LEDGER_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "plant/control_state.h"

namespace kalvix {

// Why an exchange failed, as far as the master can tell.
enum class BusFault : int {
  kTimeout = 0,      // no answer at all
  kIncomplete = 1,   // an answer that stopped short
  kChecksum = 2,     // CRC or checksum wrong
  kWrongPeer = 3,    // another address, or a write not echoed as sent
  kDeviceError = 4,  // the device answered with an exception or an error reply
  kIoError = 5,      // the line itself failed (port gone, read or write error)
};
inline constexpr int kBusFaultCount = 6;

// Short machine names of the causes, in BusFault order (metric labels, tests).
inline constexpr std::array<const char*, kBusFaultCount> kBusFaultNames = {
    "timeout", "incomplete", "checksum", "wrong_peer", "device_error", "io_error"};

// A copy of one ledger at one moment.
struct BusLedgerSnapshot {
  uint64_t exchanges = 0;  // every exchange attempted: good and failed
  uint64_t good = 0;
  std::array<uint64_t, kBusFaultCount> faults{};
  uint64_t reopenings = 0;
  uint32_t lastRoundTripUs = 0;  // of the latest good exchange
  uint32_t p50RoundTripUs = 0;   // over the window of recent good exchanges
  uint32_t p99RoundTripUs = 0;
  uint32_t windowSamples = 0;      // how many samples the percentiles stand on
  int64_t lastGoodUnixMs = 0;      // system clock; 0: never
  uint64_t roundTripSumUs = 0;     // over every good exchange, for a rate of mean round-trip
};

class BusLedger {
 public:
  static constexpr uint32_t kWindow = 256;  // recent good exchanges the percentiles cover

  // A good exchange and its round-trip: from the request's first byte put on the line to
  // the reply's last byte taken off it.
  void RecordGood(std::chrono::microseconds roundTrip);
  void RecordFault(BusFault fault);
  void RecordReopening();

  BusLedgerSnapshot Read() const;

 private:
  std::atomic<uint64_t> exchanges_{0};
  std::atomic<uint64_t> good_{0};
  std::array<std::atomic<uint64_t>, kBusFaultCount> faults_{};
  std::atomic<uint64_t> reopenings_{0};
  std::atomic<uint32_t> lastRoundTripUs_{0};
  std::atomic<int64_t> lastGoodUnixMs_{0};
  std::atomic<uint64_t> roundTripSumUs_{0};
  std::array<std::atomic<uint32_t>, kWindow> window_{};
};

// One ledger per polled module, indexed by Module (plant/control_state.h). The state owner
// holds it for the life of the process; the pollers and readers get references.
struct BusLedgers {
  std::array<BusLedger, kModuleCount> modules;

  BusLedger& operator[](Module m) { return modules[static_cast<size_t>(m)]; }
  const BusLedger& operator[](Module m) const { return modules[static_cast<size_t>(m)]; }
};

}  // namespace kalvix

#endif  // KALVIX_DEVICES_BUS_LEDGER_H_
