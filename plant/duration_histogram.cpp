#include "plant/duration_histogram.h"

#include <algorithm>

namespace kalvix {
namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
}  // namespace

DurationHistogram::DurationHistogram(std::initializer_list<int64_t> boundsUs) {
  for (const int64_t us : boundsUs) {
    if (boundCount_ == kMaxBounds) break;
    boundsNs_[boundCount_++] = us * 1000;
  }
}

void DurationHistogram::Record(std::chrono::nanoseconds duration) {
  const int64_t ns = std::max<int64_t>(duration.count(), 0);
  const auto end = boundsNs_.begin() + static_cast<std::ptrdiff_t>(boundCount_);
  // The first bound at or above the duration: buckets hold "le" (less or equal) counts.
  const auto bucket =
      static_cast<size_t>(std::lower_bound(boundsNs_.begin(), end, ns) - boundsNs_.begin());
  buckets_[bucket].fetch_add(1, kRelaxed);
  sumNs_.fetch_add(ns, kRelaxed);
}

DurationHistogramSnapshot DurationHistogram::Read() const {
  DurationHistogramSnapshot s;
  s.boundsSeconds.reserve(boundCount_);
  s.cumulative.reserve(boundCount_ + 1);
  uint64_t running = 0;
  for (size_t i = 0; i <= boundCount_; ++i) {
    if (i < boundCount_) s.boundsSeconds.push_back(static_cast<double>(boundsNs_[i]) / 1e9);
    running += buckets_[i].load(kRelaxed);
    s.cumulative.push_back(running);
  }
  s.count = running;
  s.sumSeconds = static_cast<double>(sumNs_.load(kRelaxed)) / 1e9;
  return s;
}

}  // namespace kalvix
