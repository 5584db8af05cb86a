// Order statistics of a set of measurements, for the benchmark programs' summaries.
#ifndef KALVIX_BENCH_SAMPLE_STATS_H_
#define KALVIX_BENCH_SAMPLE_STATS_H_

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace kalvix::bench {

struct SampleStats {
  size_t count = 0;
  double min = 0;
  double median = 0;
  double p99 = 0;
  double max = 0;
};

// Nearest-rank percentiles: p99 is the smallest value that at least 99 % of the samples do
// not exceed, so with 600 samples it is the 594th smallest (six values lie above it).
inline SampleStats Summarize(std::vector<double> samples) {
  SampleStats s;
  s.count = samples.size();
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  auto rank = [&](double p) {
    const size_t r = static_cast<size_t>(std::ceil(p * static_cast<double>(samples.size())));
    return samples[std::clamp<size_t>(r, 1, samples.size()) - 1];
  };
  s.min = samples.front();
  s.median = rank(0.5);
  s.p99 = rank(0.99);
  s.max = samples.back();
  return s;
}

// One summary line, "NAME count N min X median X p99 X max X" (milliseconds), which
// scripts/bench.sh reads back.
inline std::string FormatStats(const std::string& name, const SampleStats& s) {
  char text[200];
  std::snprintf(text, sizeof text, "%s count %zu min %.3f median %.3f p99 %.3f max %.3f",
                name.c_str(), s.count, s.min, s.median, s.p99, s.max);
  return text;
}

}  // namespace kalvix::bench

#endif  // KALVIX_BENCH_SAMPLE_STATS_H_
