// DurationHistogram: how many recorded durations fell at or below each of a fixed list of
// bounds, their count and their sum, in the cumulative form a histogram metric is exported in.
//
// Threads: any thread records, any thread reads; every counter is a relaxed atomic, so a
// record is a few uncontended increments and never waits. A reader copies the buckets one by
// one and derives the count from them, so its copy is always consistent with itself (the sum
// may lag the buckets by the durations being recorded meanwhile).
#ifndef KALVIX_PLANT_DURATION_HISTOGRAM_H_
#define KALVIX_PLANT_DURATION_HISTOGRAM_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace kalvix {

struct DurationHistogramSnapshot {
  std::vector<double> boundsSeconds;  // ascending upper bounds, without the last (infinite) one
  std::vector<uint64_t> cumulative;   // durations <= each bound, then the total (one more)
  uint64_t count = 0;                 // == cumulative.back()
  double sumSeconds = 0;
};

class DurationHistogram {
 public:
  static constexpr size_t kMaxBounds = 16;

  // Upper bounds in microseconds, ascending; at most kMaxBounds (the rest is ignored).
  explicit DurationHistogram(std::initializer_list<int64_t> boundsUs);
  DurationHistogram(const DurationHistogram&) = delete;
  DurationHistogram& operator=(const DurationHistogram&) = delete;

  // A negative duration counts as 0.
  void Record(std::chrono::nanoseconds duration);
  DurationHistogramSnapshot Read() const;

 private:
  std::array<int64_t, kMaxBounds> boundsNs_{};
  size_t boundCount_ = 0;
  // One per bound and one above the last; not cumulative, so a record touches one bucket.
  std::array<std::atomic<uint64_t>, kMaxBounds + 1> buckets_{};
  std::atomic<int64_t> sumNs_{0};
};

}  // namespace kalvix

#endif  // KALVIX_PLANT_DURATION_HISTOGRAM_H_
