#include "devices/v120_poller.h"

#include <array>
#include <cmath>

#include "devices/line_recovery.h"
#include "journal/event_log.h"
#include "plant/thread_entry.h"
#include "plant/thread_priority.h"
#include "util/date_time.h"
#include "util/tick_count.h"

namespace kalvix {
namespace {

constexpr const char* kOutputTnk23 = "_TNK23";
constexpr const char* kOutputTnz = "_TNZ";
constexpr const char* kAveragedTnk23 = "TNK23";

bool Stopped(const V120PollerContext& c) {
  return c.control.StopRequest.load(std::memory_order_acquire);
}

// One item by the signal's kind; FLOAT and unknown kinds have no read command.
bool ReadSignal(TVisionLink& link, const TSignalSet& signal, double* value) {
  link.SetUnitID(signal.DevNum);
  switch (signal.Kind) {
    case kKindInt:
    case kKindLong: {
      std::array<int32_t, 1> item = {};
      if (!link.GetIntArray(signal.Addr, 1, item, signal.Kind == kKindLong)) return false;
      *value = item[0];
      return true;
    }
    case kKindBit: {
      std::array<uint8_t, 1> bit = {};
      if (!link.GetBitArray(signal.Addr, 1, bit)) return false;
      *value = bit[0] != 0 ? 1 : 0;
      return true;
    }
    default:
      return false;
  }
}

bool IsV120Output(const TSignalSet& signal) {
  return signal.BusName == "V120" && !signal.SignalName.empty() && signal.SignalName[0] == '_';
}

}  // namespace

bool IsV120Input(const TSignalSet& signal) {
  return signal.BusName == "V120" && signal.Direction == kDirectionRead;
}

std::optional<int32_t> V120WriteValue(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  // fmod is exact, so the low 32 bits survive values beyond the range of any integer type.
  const double low = std::fmod(std::trunc(value), 4294967296.0);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(low)));
}

bool V120Read(const V120PollerContext& c) {
  try {
    const bool emulated = c.control.V120EmulFlag.load();
    const auto& signals = c.signals.Signals();
    for (size_t slot = 0; slot < signals.size(); ++slot) {
      const TSignalSet& signal = signals[slot];
      if (!IsV120Input(signal)) continue;
      const int index = static_cast<int>(slot);
      if (emulated) {
        c.signals.RawValues.SetSlot(index, c.signals.EmulatorValues.Slot(index));
        continue;
      }
      if (Stopped(c)) return false;
      double value = 0;
      if (!ReadSignal(c.link, signal, &value)) return false;
      c.signals.RawValues.SetSlot(index, value);
    }
    return true;
  } catch (...) {
    PostEvent(kTextV120ReadFault);
    return false;
  }
}

bool V120Write(const V120PollerContext& c) {
  const auto& signals = c.signals.Signals();
  for (const TSignalSet& signal : signals) {
    if (!IsV120Output(signal)) continue;
    if (Stopped(c)) return true;
    double value = 0;
    if (signal.SignalName == kOutputTnk23) {
      value = c.signals.AveragedValues.Slot(c.signals.SignalIndex(kAveragedTnk23));
    } else if (signal.SignalName == kOutputTnz && c.setpoints.TnzWritePending.exchange(false)) {
      // The flag is taken before the value: the control thread stores the set-point before it
      // raises the flag, so the value read here is at least as new as the flag it answers.
      value = c.setpoints.TnzSetpoint.load();
    } else {
      continue;
    }
    const std::optional<int32_t> item = V120WriteValue(value);
    if (!item) continue;
    if (signal.Kind != kKindInt && signal.Kind != kKindLong) continue;
    c.link.SetUnitID(signal.DevNum);
    const std::array<int32_t, 1> items = {*item};
    c.link.SetIntArray(signal.Addr, 1, items, signal.Kind == kKindLong);
  }
  return true;
}

void RunV120Pass(const V120PollerContext& c) {
  c.counters.V120CycleCounter.fetch_add(1);
  if (V120Read(c)) {
    c.control.ModuleLastOk[kModuleV120].store(Now());
  } else if (!Stopped(c)) {
    c.control.ModuleErrors[kModuleV120].fetch_add(1);
  }
  V120Write(c);
}

void RunV120Poller(const V120PollerContext& c) {
  RaiseThreadPriority(ThreadPriority::kHighest);
  c.counters.V120CycleCounter.store(0);
  VisionLineRecovery recovery(c.link);
  while (!Stopped(c)) {
    const uint32_t t0 = TickCount();
    if (!c.control.V120EmulFlag.load()) recovery.BeforePass();
    RunV120Pass(c);
    WaitCycleEnd(c.control, t0, kCyclePeriodMs);
  }
}

int V120PollerEntry(const V120PollerContext& c) {
  return RunThreadEntry(c.control.V120Active, kThreadNameV120, [&c] { RunV120Poller(c); });
}

}  // namespace kalvix
