#include "plant/signal_set.h"

#include "util/ascii_case.h"

namespace kalvix {
int SignalSet::SignalIndex(std::string_view name) const {
  for (size_t i = 0; i < signalNames_.size(); ++i) {
    if (EqualsIgnoringAsciiCase(signalNames_[i], name)) return static_cast<int>(i);
  }
  return kMissingSlot;
}

void SignalSet::Replace(std::vector<TSignalSet> signals) {
  if (signals.size() > static_cast<size_t>(kMaxSignals)) signals.resize(kMaxSignals);
  signalCount_.store(0, std::memory_order_release);
  signals_ = std::move(signals);
  signalNames_.clear();
  for (size_t k = 0; k < signals_.size(); ++k) {
    signalNames_.push_back(signals_[k].SignalName);
    if (!averages_[k]) averages_[k] = std::make_unique<TFlyAverage>();
  }
  signalCount_.store(static_cast<int>(signals_.size()), std::memory_order_release);
}

void SignalSet::ResetAverages(int averageLen) {
  for (auto& average : averages_) {
    if (!average) continue;
    average->SetSize(averageLen);
    average->Reset();
  }
}

void SignalSet::ClearSignalValues() {
  RawValues.Clear();
  OutputValues.Clear();
  InstantValues.Clear();
  AveragedValues.Clear();
}

}  // namespace kalvix
