// The ledger on its own: percentiles by nearest rank over the window, the window forgetting
// the oldest samples, the counters, and a reader copying it while the poller writes.
#include "devices/bus_ledger.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "devices/bus_exchange.h"

namespace kalvix {
namespace {

using std::chrono::microseconds;

void RecordAll(BusLedger& ledger, const std::vector<uint32_t>& samplesUs) {
  for (uint32_t us : samplesUs) ledger.RecordGood(microseconds(us));
}

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
  std::vector<uint32_t> samples;
  for (uint32_t v = first; v <= last; ++v) samples.push_back(v);
  return samples;
}

TEST(BusLedgerTest, PercentilesAreNearestRankOverTheWindow) {
  struct Case {
    const char* name;
    std::vector<uint32_t> samplesUs;  // in the order recorded
    uint32_t p50;
    uint32_t p99;
    uint32_t windowSamples;
  };
  const std::vector<uint32_t> shuffled = {700, 100, 900, 300, 500, 200, 800, 400, 1000, 600};
  const Case cases[] = {
      {"none", {}, 0, 0, 0},
      {"one", {40'000}, 40'000, 40'000, 1},
      {"two", {10, 20}, 10, 20, 2},
      {"ten, out of order", shuffled, 500, 1000, 10},
      {"one to a hundred", Range(1, 100), 50, 99, 100},
      // An outlier in a hundred is the 99th percentile's business only.
      {"one slow in a hundred", [] {
         std::vector<uint32_t> s(99, 41'000);
         s.push_back(900'000);
         return s;
       }(), 41'000, 41'000, 100},
      {"the window full", Range(1, BusLedger::kWindow), 128, 254, BusLedger::kWindow},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BusLedger ledger;
    RecordAll(ledger, c.samplesUs);
    const BusLedgerSnapshot s = ledger.Read();
    EXPECT_EQ(s.p50RoundTripUs, c.p50);
    EXPECT_EQ(s.p99RoundTripUs, c.p99);
    EXPECT_EQ(s.windowSamples, c.windowSamples);
    EXPECT_EQ(s.lastRoundTripUs, c.samplesUs.empty() ? 0 : c.samplesUs.back());
  }
}

// Once the window is full each new sample replaces the oldest: slow exchanges long past no
// longer weigh on the percentiles, while the sum keeps every exchange.
TEST(BusLedgerTest, WindowForgetsTheOldestSamples) {
  BusLedger ledger;
  const std::vector<uint32_t> slow(BusLedger::kWindow, 500'000);
  RecordAll(ledger, slow);
  EXPECT_EQ(ledger.Read().p50RoundTripUs, 500'000u);

  RecordAll(ledger, std::vector<uint32_t>(BusLedger::kWindow / 2 + 1, 40'000));
  BusLedgerSnapshot s = ledger.Read();
  EXPECT_EQ(s.p50RoundTripUs, 40'000u) << "more than half the window is fast now";
  EXPECT_EQ(s.p99RoundTripUs, 500'000u);

  RecordAll(ledger, std::vector<uint32_t>(BusLedger::kWindow / 2, 40'000));
  s = ledger.Read();
  EXPECT_EQ(s.p99RoundTripUs, 40'000u) << "the last slow sample has left the window";
  EXPECT_EQ(s.windowSamples, BusLedger::kWindow);
  EXPECT_EQ(s.good, 2 * BusLedger::kWindow + 1);
  EXPECT_EQ(s.roundTripSumUs,
            BusLedger::kWindow * 500'000ull + (BusLedger::kWindow + 1) * 40'000ull);
}

TEST(BusLedgerTest, CountersKeepEachCauseApart) {
  BusLedger ledger;
  EXPECT_EQ(ledger.Read().lastGoodUnixMs, 0) << "never a good exchange";
  // Cause k recorded k + 1 times.
  for (int k = 0; k < kBusFaultCount; ++k) {
    for (int n = 0; n <= k; ++n) ledger.RecordFault(static_cast<BusFault>(k));
  }
  const auto before = std::chrono::system_clock::now();
  ledger.RecordGood(microseconds(45'000));
  ledger.RecordGood(std::chrono::seconds(-1));  // a clock that stepped back: no negative sample
  ledger.RecordReopening();
  ledger.RecordReopening();

  const BusLedgerSnapshot s = ledger.Read();
  for (int k = 0; k < kBusFaultCount; ++k) {
    EXPECT_EQ(s.faults[k], static_cast<uint64_t>(k + 1)) << kBusFaultNames[k];
  }
  EXPECT_EQ(s.good, 2u);
  EXPECT_EQ(s.exchanges, 2u + 21u) << "good and failed exchanges; reopenings are none";
  EXPECT_EQ(s.reopenings, 2u);
  EXPECT_EQ(s.lastRoundTripUs, 0u);
  EXPECT_EQ(s.roundTripSumUs, 45'000u);
  EXPECT_GE(s.lastGoodUnixMs, std::chrono::duration_cast<std::chrono::milliseconds>(
                                  before.time_since_epoch())
                                  .count());
}

// How a link's view of one exchange lands in the ledger.
TEST(BusLedgerTest, RecordExchangeBooksGoodFailedAndNotCounted) {
  BusLedger ledger;
  RecordExchange(ledger, BusExchange::Good(microseconds(41'500)));
  RecordExchange(ledger, BusExchange::Fault(BusFault::kChecksum));
  RecordExchange(ledger, BusExchange{});  // a stop ended it, or nothing was sent
  const BusLedgerSnapshot s = ledger.Read();
  EXPECT_EQ(s.exchanges, 2u);
  EXPECT_EQ(s.good, 1u);
  EXPECT_EQ(s.lastRoundTripUs, 41'500u);
  EXPECT_EQ(s.faults[static_cast<int>(BusFault::kChecksum)], 1u);
}

// The poller writes while the window or the metrics endpoint reads. Every counter a reader
// sees only grows, every sample it sees is one that was recorded (or none yet), and at the end it sees
// exactly what was written. ThreadSanitizer checks that nothing here is a data race.
TEST(BusLedgerTest, ReaderCopiesWhileThePollerWrites) {
  constexpr uint32_t kExchanges = 20'000;
  BusLedger ledger;
  std::atomic<bool> writing{true};

  std::thread writer([&] {
    pthread_setname_np(pthread_self(), "ledger-writer");
    for (uint32_t i = 0; i < kExchanges; ++i) {
      if (i % 10 == 9) {
        ledger.RecordFault(static_cast<BusFault>(i % kBusFaultCount));
      } else {
        ledger.RecordGood(microseconds(40'000 + i % 1000));
      }
      if (i % 1000 == 999) ledger.RecordReopening();
    }
    writing.store(false);
  });

  int copies = 0;
  bool monotonic = true;
  bool samplesKnown = true;
  std::thread reader([&] {
    pthread_setname_np(pthread_self(), "ledger-reader");
    BusLedgerSnapshot last;
    while (writing.load() || copies == 0) {
      const BusLedgerSnapshot s = ledger.Read();
      monotonic = monotonic && s.exchanges >= last.exchanges && s.good >= last.good &&
                  s.reopenings >= last.reopenings;
      for (uint32_t us : {s.p50RoundTripUs, s.p99RoundTripUs, s.lastRoundTripUs}) {
        // 0: a slot whose sample this copy does not see yet (the fields are separate).
        samplesKnown = samplesKnown && (us == 0 || (us >= 40'000 && us < 41'000));
      }
      last = s;
      ++copies;
    }
  });
  writer.join();
  reader.join();

  EXPECT_GT(copies, 0);
  EXPECT_TRUE(monotonic);
  EXPECT_TRUE(samplesKnown);
  const BusLedgerSnapshot s = ledger.Read();
  EXPECT_EQ(s.exchanges, kExchanges);
  EXPECT_EQ(s.good, kExchanges - kExchanges / 10);
  uint64_t faults = 0;
  for (uint64_t f : s.faults) faults += f;
  EXPECT_EQ(faults, kExchanges / 10);
  EXPECT_EQ(s.reopenings, kExchanges / 1000);
}

}  // namespace
}  // namespace kalvix
