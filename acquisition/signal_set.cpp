#include "acquisition/signal_set.h"

namespace kalvix {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

int SignalSet::SignalIndex(std::string_view name) const {
  for (size_t i = 0; i < signalNames_.size(); ++i) {
    if (EqualsNoCase(signalNames_[i], name)) return static_cast<int>(i);
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
