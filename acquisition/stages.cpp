#include "acquisition/stages.h"

#include <cmath>
#include <exception>

#include "journal/event_log.h"

namespace kalvix {
namespace {

// 1 when the value exceeds the threshold. A NaN compares false, so a missing density or
// load reads as "not working".
double Above(double value, double threshold) { return value > threshold ? 1.0 : 0.0; }

// RAB (the density above MIN_PLS) and RN (RAB and the load above MIN_NAGR) from one value
// set, stored into the same set, its time stamp renewed in between.
void StorePlantState(const SignalSet& set, ValueSet& values, const PlantConstants& limits,
                     DateTime now) {
  const double rab = Above(values.Slot(set.SignalIndex("PLS")),
                           limits.MIN_PLS.load(std::memory_order_relaxed));
  values.SetSlot(set.SignalIndex("RAB"), rab);
  values.SetStamp(now);
  const double rn = rab == 1.0 ? Above(values.Slot(set.SignalIndex("TNK23")),
                                       limits.MIN_NAGR.load(std::memory_order_relaxed))
                               : 0.0;
  values.SetSlot(set.SignalIndex("RN"), rn);
}

}  // namespace

bool TranslateIn(SignalSet& set, const PlantConstants& limits, DateTime now) {
  try {
    const auto& signals = set.Signals();
    const int count = set.SignalCount();
    for (int i = 0; i < count; ++i) {
      const TSignalSet& s = signals[static_cast<size_t>(i)];
      if (!s.IsConvertedInput()) continue;
      set.InstantValues.SetSlot(i, CalibrateValue(set.RawValues.Slot(i), &s.calibration));
    }
    StorePlantState(set, set.InstantValues, limits, now);
    return true;
  } catch (...) {
    PostEvent("!!! Ошибка в функции TranslateIn() !!!");
    return false;
  }
}

bool CalcWorks(SignalSet& set, const PlantConstants& limits, const Setpoints& setpoints,
               DateTime now) {
  try {
    const auto& signals = set.Signals();
    const int count = set.SignalCount();
    for (int i = 0; i < count; ++i) {
      const TSignalSet& s = signals[static_cast<size_t>(i)];
      if (!s.IsConvertedInput() || s.SignalName == "G_1T1") continue;
      TFlyAverage* average = set.Average(i);
      if (average == nullptr) continue;
      const double value = set.InstantValues.Slot(i);
      if (std::isfinite(value)) {
        average->SetNewData(value);
        average->SetAccepted(true);
      }
      set.AveragedValues.SetSlot(i, average->GetValCount() > 0 ? average->GetAverage() : value);
    }
    for (const char* counter : {"G2", "G23", "G41"}) {
      const int slot = set.SignalIndex(counter);
      set.AveragedValues.SetSlot(slot, set.InstantValues.Slot(slot));
    }
    StorePlantState(set, set.AveragedValues, limits, now);
    const struct {
      const char* name;
      double value;
    } outputs[] = {{"_PLSZ", setpoints.PlszSetpoint.load()}, {"_TNZ", setpoints.TnzSetpoint.load()}};
    for (const auto& output : outputs) {
      const int slot = set.SignalIndex(output.name);
      set.AveragedValues.SetSlot(slot, output.value);
      set.InstantValues.SetSlot(slot, output.value);
      set.OutputValues.SetSlot(slot, output.value);
    }
    set.AveragedValues.SetStamp(now);
    return true;
  } catch (...) {
    PostEvent("!!! Ошибка в функции CalcWorks() !!!");
    return false;
  }
}

}  // namespace kalvix
