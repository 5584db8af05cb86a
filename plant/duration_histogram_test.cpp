#include "plant/duration_histogram.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kalvix {
namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

// Which cumulative buckets one duration lands in, against the bounds 1 ms, 10 ms, 100 ms.
TEST(DurationHistogram, ADurationCountsInEveryBucketAtOrAboveIt) {
  struct Case {
    nanoseconds duration;
    std::vector<uint64_t> cumulative;  // le 0.001, le 0.01, le 0.1, +Inf
  };
  const Case cases[] = {
      {nanoseconds(0), {1, 1, 1, 1}},
      {nanoseconds(-5'000'000), {1, 1, 1, 1}},  // a clock step backwards counts as on time
      {microseconds(1'000), {1, 1, 1, 1}},      // on the bound: "less or equal"
      {microseconds(1'000) + nanoseconds(1), {0, 1, 1, 1}},
      {microseconds(99'999), {0, 0, 1, 1}},
      {microseconds(100'001), {0, 0, 0, 1}},
      {std::chrono::hours(2), {0, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    DurationHistogram h{1'000, 10'000, 100'000};
    h.Record(c.duration);
    const DurationHistogramSnapshot s = h.Read();
    EXPECT_EQ(s.cumulative, c.cumulative) << c.duration.count() << " ns";
    EXPECT_EQ(s.count, 1u);
  }
}

TEST(DurationHistogram, SumAndBoundsInSeconds) {
  DurationHistogram h{250, 2'000};
  h.Record(microseconds(100));
  h.Record(microseconds(1'500));
  h.Record(microseconds(3'000));
  const DurationHistogramSnapshot s = h.Read();
  EXPECT_EQ(s.boundsSeconds, (std::vector<double>{0.00025, 0.002}));
  EXPECT_EQ(s.cumulative, (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_DOUBLE_EQ(s.sumSeconds, 0.0046);
}

// Recorders on several threads and a reader meanwhile: nothing is lost, and every copy the
// reader takes is cumulative (never decreasing) and ends in its own count.
TEST(DurationHistogram, ConcurrentRecordsAreAllCountedAndEveryCopyIsCumulative) {
  DurationHistogram h{10, 100, 1'000};
  constexpr int kPerThread = 20'000;
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&h, t] {
      for (int i = 0; i < kPerThread; ++i) h.Record(microseconds((i * 7 + t) % 2'000));
    });
  }
  for (int r = 0; r < 200; ++r) {
    const DurationHistogramSnapshot s = h.Read();
    for (size_t i = 1; i < s.cumulative.size(); ++i) {
      ASSERT_LE(s.cumulative[i - 1], s.cumulative[i]);
    }
    ASSERT_EQ(s.cumulative.back(), s.count);
  }
  for (std::thread& w : writers) w.join();
  EXPECT_EQ(h.Read().count, 3u * kPerThread);
}

}  // namespace
}  // namespace kalvix
