#include "devices/bus_ledger.h"

#include <algorithm>
#include <vector>

namespace kalvix {

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;

// One writer per ledger: a load and a store are enough, and cost less than fetch_add.
void Bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
  counter.store(counter.load(kRelaxed) + by, kRelaxed);
}
}  // namespace

void BusLedger::RecordGood(std::chrono::microseconds roundTrip) {
  const auto us = static_cast<uint32_t>(
      std::clamp<int64_t>(roundTrip.count(), 0, int64_t{UINT32_MAX}));
  const uint64_t n = good_.load(kRelaxed);
  window_[n % kWindow].store(us, kRelaxed);
  lastRoundTripUs_.store(us, kRelaxed);
  Bump(roundTripSumUs_, us);
  lastGoodUnixMs_.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count(),
                        kRelaxed);
  good_.store(n + 1, kRelaxed);
  Bump(exchanges_);
}

void BusLedger::RecordFault(BusFault fault) {
  Bump(faults_[static_cast<size_t>(fault)]);
  Bump(exchanges_);
}

void BusLedger::RecordReopening() { Bump(reopenings_); }

BusLedgerSnapshot BusLedger::Read() const {
  BusLedgerSnapshot s;
  s.exchanges = exchanges_.load(kRelaxed);
  s.good = good_.load(kRelaxed);
  for (int i = 0; i < kBusFaultCount; ++i) s.faults[i] = faults_[i].load(kRelaxed);
  s.reopenings = reopenings_.load(kRelaxed);
  s.lastRoundTripUs = lastRoundTripUs_.load(kRelaxed);
  s.lastGoodUnixMs = lastGoodUnixMs_.load(kRelaxed);
  s.roundTripSumUs = roundTripSumUs_.load(kRelaxed);

  const auto samples = static_cast<uint32_t>(std::min<uint64_t>(s.good, kWindow));
  s.windowSamples = samples;
  if (samples == 0) return s;
  std::vector<uint32_t> sorted(samples);
  for (uint32_t i = 0; i < samples; ++i) sorted[i] = window_[i].load(kRelaxed);
  std::sort(sorted.begin(), sorted.end());
  // Nearest rank: the smallest sample at or above the given share of the window.
  auto rank = [&](double q) {
    const auto k = static_cast<uint32_t>(q * samples + 0.999999);
    return sorted[std::clamp<uint32_t>(k, 1, samples) - 1];
  };
  s.p50RoundTripUs = rank(0.50);
  s.p99RoundTripUs = rank(0.99);
  return s;
}

}  // namespace kalvix
