// The signal set: which signals the plant has, which link serves each, how each converts,
// and the five value sets every stage of the acquisition reads and writes.
//
// Ownership and threads: the service owns one SignalSet. The descriptors (Signals,
// SignalNames) are replaced only by the loader on the window thread while no acquisition
// thread runs; during acquisition they are read-only. Each value of a value set has one
// writing thread (the poller of its bus for RawValues, the control thread for the others,
// the window thread for EmulatorValues) and is an atomic double, so readers on other threads
// always see a whole value.
#ifndef KALVIX_PLANT_SIGNAL_SET_H_
#define KALVIX_PLANT_SIGNAL_SET_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "plant/calibration.h"
#include "plant/fly_average.h"
#include "util/date_time.h"

namespace kalvix {

inline constexpr int kMaxSignals = 100;
// A name that is not in the set resolves to this slot, which no running cycle's signal uses
// (the cycle runs only with 1 to 90 signals).
inline constexpr int kMissingSlot = 99;
inline constexpr int kMaxCycleSignals = 90;

// Signal kinds as stored in the `Kind` column.
enum SignalKind : int32_t { kKindInt = 0, kKindFloat = 1, kKindLong = 2, kKindBit = 3 };

inline constexpr const char* kDirectionRead = "READ";
inline constexpr const char* kDirectionWrite = "WRITE";

// One signal's descriptor, in the column order of the `signal` table.
struct TSignalSet {
  std::string BusName;     // "JUMO", "V120", "BK", "CALC", "ICP", ...
  std::string SignalName;  // also its column in last_state and pu_data; "_" = output
  int32_t DevNum = 0;      // Modbus slave address or V120 unit number
  uint16_t Addr = 0;       // register or operand address
  int32_t Kind = kKindFloat;
  bool InverseBytes = false;
  bool InverseWords = false;
  std::string Direction;   // "READ", "WRITE" or empty
  CalibrationTable calibration;

  bool IsConvertedInput() const { return !SignalName.empty() && Direction == kDirectionRead; }
};

// 101 values: element 0 a time stamp, element i + 1 the value of slot i.
class ValueSet {
 public:
  ValueSet() { Clear(); }
  ValueSet(const ValueSet&) = delete;
  ValueSet& operator=(const ValueSet&) = delete;

  // Slots outside 0..99 read 0 and ignore writes.
  double Slot(int slot) const {
    return InRange(slot) ? values_[slot + 1].load(std::memory_order_relaxed) : 0.0;
  }
  void SetSlot(int slot, double value) {
    if (InRange(slot)) values_[slot + 1].store(value, std::memory_order_relaxed);
  }
  DateTime Stamp() const { return values_[0].load(std::memory_order_relaxed); }
  void SetStamp(DateTime moment) { values_[0].store(moment, std::memory_order_relaxed); }

  // Every element, the time stamp included, to zero.
  void Clear() {
    for (auto& v : values_) v.store(0.0, std::memory_order_relaxed);
  }

 private:
  static bool InRange(int slot) { return slot >= 0 && slot < kMaxSignals; }
  std::array<std::atomic<double>, kMaxSignals + 1> values_;
};

class SignalSet {
 public:
  SignalSet() = default;
  SignalSet(const SignalSet&) = delete;
  SignalSet& operator=(const SignalSet&) = delete;

  // The slot of the first signal with this name, letter case ignored; kMissingSlot when
  // there is none.
  int SignalIndex(std::string_view name) const;

  int SignalCount() const { return signalCount_.load(std::memory_order_acquire); }

  // Replaces the descriptors (at most kMaxSignals are kept) and the name index, and creates
  // the moving average of every slot that receives a signal for the first time. Averages of
  // slots that had one before are kept. Window thread, no acquisition thread running.
  void Replace(std::vector<TSignalSet> signals);

  const std::vector<TSignalSet>& Signals() const { return signals_; }
  const std::vector<std::string>& SignalNames() const { return signalNames_; }

  // The moving average of a slot, or null when the slot never had a signal.
  TFlyAverage* Average(int slot) {
    return slot >= 0 && slot < kMaxSignals ? averages_[slot].get() : nullptr;
  }

  // Sets every existing average's size to averageLen and empties it.
  void ResetAverages(int averageLen);
  // RawValues, OutputValues, InstantValues and AveragedValues to zero (not EmulatorValues).
  void ClearSignalValues();

  ValueSet RawValues;
  ValueSet InstantValues;
  ValueSet AveragedValues;
  ValueSet OutputValues;
  ValueSet EmulatorValues;

 private:
  std::vector<TSignalSet> signals_;
  std::vector<std::string> signalNames_;
  std::atomic<int> signalCount_{0};
  std::array<std::unique_ptr<TFlyAverage>, kMaxSignals> averages_;
};

}  // namespace kalvix

#endif  // KALVIX_PLANT_SIGNAL_SET_H_
